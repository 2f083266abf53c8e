// Files opened beneath a static folder, with openat2 and with the walk that
// replaces it on older kernels, over a real directory tree with symbolic
// links in and out of the folder; and the planned answer's own limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/static_answer.hpp"
#include "core/static_site.hpp"

using namespace zelweb;

namespace {

std::string root;

void write_file(const std::string& path, const char* text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(fd >= 0 && write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text)));
    close(fd);
}

// The bytes read from what `open` opened, or "errno N" when it failed.
template <typename Open>
std::string opened(Open open, int folder, const char* relative) {
    int fd = open(folder, relative, O_RDONLY);
    if (fd < 0) return "errno " + std::to_string(errno);
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n < 0 ? "unreadable" : std::string(buffer, static_cast<size_t>(n));
}

void make_tree() {
    char pattern[] = "/tmp/zelweb-static-XXXXXX";
    CHECK(mkdtemp(pattern) != nullptr);
    root = pattern;
    mkdir((root + "/public").c_str(), 0755);
    mkdir((root + "/public/css").c_str(), 0755);
    write_file(root + "/secret", "secret");
    write_file(root + "/public/css/site.css", "css");
    CHECK(symlink("css/site.css", (root + "/public/inside").c_str()) == 0);
    CHECK(symlink("css", (root + "/public/dir-inside").c_str()) == 0);
    CHECK(symlink("../secret", (root + "/public/out").c_str()) == 0);
    CHECK(symlink((root + "/secret").c_str(), (root + "/public/absolute").c_str()) == 0);
    CHECK(symlink("..", (root + "/public/up").c_str()) == 0);
    CHECK(symlink("/proc/self/root", (root + "/public/magic").c_str()) == 0);
}

void test_both_openers_keep_inside_the_folder() {
    int folder = open((root + "/public").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    CHECK(folder >= 0);
    for (auto opener : {open_beneath, open_walking}) {
        CHECK(opened(opener, folder, "css/site.css") == "css");
        CHECK(opened(opener, folder, "missing") == "errno " + std::to_string(ENOENT));
        for (const char* out : {"out", "absolute", "up/secret", "magic/etc/hostname"})
            CHECK(opened(opener, folder, out).substr(0, 6) == "errno ");
    }
    // Links that stay inside: followed by openat2, refused by the walk.
    CHECK(opened(open_beneath, folder, "inside") == "css");
    CHECK(opened(open_beneath, folder, "dir-inside/site.css") == "css");
    CHECK(opened(open_walking, folder, "inside") == "errno " + std::to_string(ELOOP));
    CHECK(opened(open_walking, folder, "dir-inside/site.css") == "errno " + std::to_string(ENOTDIR));
    // The directory itself, for a look at it.
    int self = open_beneath(folder, "", O_RDONLY | O_DIRECTORY);
    CHECK(self >= 0);
    close(self);
    std::string long_name(static_path_capacity + 100, 'a');
    CHECK(open_walking(folder, long_name, O_RDONLY) < 0 && errno == ENAMETOOLONG);
    close(folder);
}

void test_sites_try_the_longest_prefix_first() {
    StaticSite* site = StaticSite::create();
    CHECK(site != nullptr);
    CHECK(site->add("/a", open("/", O_PATH)) && site->add("/a/b/", open("/", O_PATH)) &&
          site->add("/", open("/", O_PATH)));
    std::vector<std::string> order;
    for (const auto& f : *site) order.emplace_back(f.prefix);
    CHECK((order == std::vector<std::string>{"/a/b", "/a", ""}));
    CHECK(site->has_prefix("/a/") && site->has_prefix("/a/b") && !site->has_prefix("/b"));
    site->release();
}

// A Location echoing a head-sized target, with every line, still fits.
void test_the_longest_answer_fits_its_buffer() {
    StaticSite* site = StaticSite::create();
    CHECK(site->add("/static", open((root + "/public").c_str(), O_PATH | O_DIRECTORY)));
    std::string head = "GET /static/css?" + std::string(head_capacity - 64, 'q') +
                       " HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<char> buffer(static_answer_capacity);
    StaticAnswer answer;
    StaticRequest request;
    request.head = head;
    request.date_line = "Date: Thu, 01 Jan 1970 00:00:00 GMT\r\n";
    CHECK(plan_static_answer(*site, request, buffer.data(), answer));
    std::string sent(answer.bytes, answer.size);
    CHECK(answer.status == 301);
    CHECK(sent.find("\r\nLocation: /static/css/?" + std::string(head_capacity - 64, 'q') + "\r\n") !=
          std::string::npos);
    CHECK(sent.size() > 18 && sent.compare(sent.size() - 18, 18, "Moved Permanently\n") == 0);
    site->release();
}

}  // namespace

int main() {
    make_tree();
    test_both_openers_keep_inside_the_folder();
    test_sites_try_the_longest_prefix_first();
    test_the_longest_answer_fits_its_buffer();
    std::string remove = "rm -rf " + root;
    if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
