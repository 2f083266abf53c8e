// Static answers planned for hostile heads against a real folder, with
// links out of it and coded siblings: whatever the head, the answer fits its
// buffer, is a whole response head, and never holds or sends a byte from
// outside the folder. Byte 0 says whether the connection may be kept and
// how many bytes followed the head; the rest is the head.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/static_answer.hpp"
#include "fuzz_input.hpp"

using namespace zelweb;

namespace {

constexpr std::string_view secret = "OUTSIDE";

void write_file(const std::string& path, std::string_view text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    close(fd);
}

StaticSite* make_site() {
    char pattern[] = "/tmp/zelweb-fuzz-static-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    std::string root = pattern, pub = root + "/pub";
    mkdir(pub.c_str(), 0755);
    mkdir((pub + "/d").c_str(), 0755);
    write_file(root + "/secret", secret);
    write_file(pub + "/index.html", "<p>i</p>");
    write_file(pub + "/d/index.html", "<p>d</p>");
    write_file(pub + "/a.css", std::string(20000, 'c'));  // over the inline limit
    write_file(pub + "/a.css.gz", "gz");
    write_file(pub + "/a.css.br", "br");
    write_file(pub + "/.env", secret);
    if (symlink("../secret", (pub + "/out").c_str()) != 0 || symlink("..", (pub + "/up").c_str()) != 0)
        std::abort();
    StaticSite* site = StaticSite::create();
    if (!site || !site->add("/s", open(pub.c_str(), O_PATH | O_DIRECTORY)) ||
        !site->add("/", open(pub.c_str(), O_PATH | O_DIRECTORY)))
        std::abort();
    site->max_age = 60;
    return site;
}

size_t occurrences(std::string_view text, std::string_view word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != text.npos; at = text.find(word, at + 1)) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static StaticSite* site = make_site();
    static std::vector<char> buffer(static_answer_capacity);
    if (size < 1 || size - 1 > head_capacity) return 0;
    StaticRequest request;
    request.head = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
    request.keep_allowed = data[0] & 1;
    request.following = data[0] >> 1;
    request.date_line = "Date: Thu, 01 Jan 1970 00:00:00 GMT\r\n";
    request.now = 1796000000;
    StaticAnswer answer;
    if (!plan_static_answer(*site, request, buffer.data(), answer)) {
        FUZZ_CHECK(!is_static_request(*site, request.head));
        return 0;
    }
    FUZZ_CHECK(is_static_request(*site, request.head));
    std::string_view sent(answer.bytes, answer.size);
    FUZZ_CHECK(answer.bytes == buffer.data() && answer.size <= buffer.size());
    FUZZ_CHECK(sent.substr(0, 9) == "HTTP/1.1 " && sent.find("\r\n\r\n") != sent.npos);
    // A redirect echoes the target: the answer may hold the secret only as
    // often as the request itself does.
    FUZZ_CHECK(occurrences(sent, secret) <= occurrences(request.head, secret));
    FUZZ_CHECK(answer.consumed >= request.head.size() &&
               answer.consumed <= request.head.size() + request.following);
    FUZZ_CHECK(answer.request_line.data() == request.head.data());
    if (answer.file.get() >= 0) {
        char first[8] = {};
        FUZZ_CHECK(answer.file_count > 0);
        FUZZ_CHECK(pread(answer.file.get(), first, sizeof first, 0) > 0);
        FUZZ_CHECK(std::string_view(first, secret.size()) != secret);
    }
    return 0;
}
