// The file a request path names inside a static folder, before the file
// system is asked anything.
#pragma once
#include <cstddef>
#include <string_view>

namespace zelweb {

enum class StaticPathKind : unsigned char {
    outside,  // not under the prefix: the application's
    refused,  // under it, but never a file of the folder (404)
    inside,   // `relative` names what to look for
};

struct StaticPath {
    StaticPathKind kind = StaticPathKind::outside;
    // Relative to the folder, segments joined by single "/", no leading or
    // trailing "/"; empty for the folder itself. Points into the caller's
    // buffer.
    std::string_view relative;
    bool directory = false;  // the path ended in "/" (or named the folder)
};

// Whether `path` (a request target's path, before any "?", as received) is
// `prefix` ("/static"; a trailing "/" is ignored, "/" or "" is every path)
// or under it after a "/", and if so the rest percent-decoded once into
// out[0, capacity). A decoded "%2F" separates segments like "/"; empty
// segments are dropped. Refused: a "%" not followed by two hex digits, a
// decoded NUL or backslash, a segment that starts with "." (".", "..",
// dotfiles, dot-directories), and a rest that does not fit `capacity`.
// The caller must still keep symbolic links from leading out of the folder.
StaticPath resolve_static_path(std::string_view path, std::string_view prefix, char* out,
                               size_t capacity);

}  // namespace zelweb
