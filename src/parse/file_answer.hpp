// What a request for a file gets, from its head and the file's validators:
// the whole file, one range of it, 304 Not Modified or 416.
#pragma once
#include <cstdint>
#include <string_view>

namespace zelweb {

struct FileValidators {
    uint64_t size;
    std::string_view etag;  // quotes included
    int64_t last_modified;  // seconds since the epoch
};

enum class FileStatus : uint8_t {
    whole,                // 200, the whole file
    partial,              // 206, [first, first + count)
    not_modified,         // 304, no body
    unsatisfiable,        // 416, no body
    precondition_failed,  // 412, no body
};

// The status line's code of each.
constexpr unsigned status_code(FileStatus s) {
    switch (s) {
        case FileStatus::partial: return 206;
        case FileStatus::not_modified: return 304;
        case FileStatus::unsatisfiable: return 416;
        case FileStatus::precondition_failed: return 412;
        case FileStatus::whole: break;
    }
    return 200;
}

struct FileAnswer {
    FileStatus status = FileStatus::whole;
    uint64_t first = 0, count = 0;  // the bytes of the file sent, for whole and partial
};

// The answer to `method` with the header lines of `head` (the head as
// received, its request line first). GET and HEAD are answered 412 when
// If-Match does not hold `etag` (strong comparison), or, without If-Match,
// when the file was modified after an If-Unmodified-Since date (an invalid
// one is ignored). Then they are answered 304 when
// If-None-Match holds `etag` (weak comparison; If-Modified-Since is then not
// looked at), or else when the file was not modified after an
// If-Modified-Since date (an invalid one, or one later than `now`, is
// ignored). Then GET alone gets a Range: one range when If-Range, if sent,
// holds. Several Range or If-Range lines ignore the range; several
// If-Match or If-None-Match lines are one list. Any other method gets the
// whole file.
FileAnswer answer_file_request(std::string_view head, std::string_view method,
                               const FileValidators& file, int64_t now);

}  // namespace zelweb
