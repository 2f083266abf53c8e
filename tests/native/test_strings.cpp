// cut (the model the parsers are checked against) and bounded_copy, with inputs that end exactly at an inaccessible page
// so that any over-read faults even without sanitizers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "cut.hpp"
#include "parse/text.hpp"
#include "parse/version.hpp"

using zelweb::bounded_copy;
using zelweb_test::cut;

namespace {

// A writable copy of `text` (with its terminator) whose last byte is the last
// byte before a PROT_NONE page.
struct GuardedText {
    explicit GuardedText(const std::string& text) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t need = text.size() + 1;
        size_t pages = (need + page - 1) / page + 1;
        base = static_cast<char*>(
            mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        size = pages * page;
        mprotect(base + (pages - 1) * page, page, PROT_NONE);
        data = base + (pages - 1) * page - need;
        std::memcpy(data, text.c_str(), need);
    }
    ~GuardedText() { munmap(base, size); }
    char* base;
    size_t size;
    char* data;
};

std::vector<std::string> tokens(const std::string& text, const char* delim) {
    GuardedText g(text);
    char* cursor = g.data;
    std::vector<std::string> out;
    while (char* token = cut(&cursor, delim)) out.emplace_back(token);
    CHECK(cut(&cursor, delim) == nullptr);  // stays null
    return out;
}

size_t last_limit = 0;
int reports = 0;
void record_report(size_t limit) {
    last_limit = limit;
    ++reports;
}

void test_cut() {
    CHECK((tokens("a&&b", "&") == std::vector<std::string>{"a", "", "b"}));
    CHECK((tokens("a&", "&") == std::vector<std::string>{"a", ""}));
    CHECK((tokens("", "&") == std::vector<std::string>{""}));
    CHECK((tokens("x=1;y=2", "; ") == std::vector<std::string>{"x=1;y=2"}));
    CHECK((tokens("a=1; b=2", "; ") == std::vector<std::string>{"a=1", "b=2"}));
    CHECK((tokens("GET / HTTP/1.1", " ") == std::vector<std::string>{"GET", "/", "HTTP/1.1"}));
    CHECK((tokens("l1\r\nl2\r\n\r\n", "\r\n") == std::vector<std::string>{"l1", "l2", "", ""}));
    // A partial delimiter at the very end is not a match.
    CHECK((tokens("a;", "; ") == std::vector<std::string>{"a;"}));

    // The empty delimiter returns the whole rest and ends the cursor.
    GuardedText g("a&b");
    char* cursor = g.data;
    char* token = cut(&cursor, "");
    CHECK(token == g.data && std::strcmp(token, "a&b") == 0 && cursor == nullptr);

    // The cursor moves past all of a multi-character delimiter.
    GuardedText h("k=v; rest");
    cursor = h.data;
    cut(&cursor, "; ");
    CHECK(cursor == h.data + 5 && std::strcmp(cursor, "rest") == 0);

    char* null_cursor = nullptr;
    CHECK(cut(&null_cursor, "&") == nullptr);
}

void test_bounded_copy() {
    zelweb::set_overflow_reporter(record_report);
    char field[10];
    std::memcpy(field, "old", 4);
    CHECK(bounded_copy(field, "123456789", 10));
    CHECK(std::strcmp(field, "123456789") == 0 && reports == 0);
    CHECK(!bounded_copy(field, "1234567890", 10));
    CHECK(std::strcmp(field, "123456789") == 0);
    CHECK(reports == 1 && last_limit == 10);
    CHECK(bounded_copy(field, "", 10) && field[0] == '\0');
    zelweb::set_overflow_reporter(nullptr);
}

// The default reporter writes the exact text, without a line end, and flushes.
void test_message_reaches_stdout_at_once() {
    int fds[2];
    CHECK(pipe(fds) == 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(fds[1], 1);
    char field[10] = "keep";
    bounded_copy(field, "0123456789abc", 10);
    // No fflush here: the reporter must have flushed already.
    dup2(saved, 1);
    close(saved);
    close(fds[1]);
    char buf[64] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    CHECK(n == 21 && std::string(buf) == "size of data must: 10");
    CHECK(std::strcmp(field, "keep") == 0);
}

void test_version_check() {
    using zelweb::versions_differ;
    CHECK(!versions_differ("3.1", "3.11.7 (main, ...)"));
    CHECK(!versions_differ("3.1", "3.12.1"));  // only the first minor digit counts
    CHECK(versions_differ("3.8", "3.11.7"));
    CHECK(versions_differ("2.7", "3.7.16"));
    CHECK(!versions_differ("3.7", "3.7.16"));
}

}  // namespace

int main() {
    test_cut();
    test_bounded_copy();
    test_message_reaches_stdout_at_once();
    test_version_check();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
