// The media type of a file from its extension: a table filled once (by the
// interpreter layer, from Python's mimetypes) and then only read, so that
// code running without the interpreter lock can use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelweb {

// The extension of a path's last segment: after its last ".", when that
// "." is not the segment's first byte ("a/b.tar.gz" -> "gz", ".profile" ->
// none); empty when there is none.
std::string_view path_extension(std::string_view path);

struct MediaTypeEntry {
    std::string_view extension;  // with or without its leading "."
    std::string_view type;
};

class MediaTypeTable {
public:
    MediaTypeTable() = default;
    MediaTypeTable(const MediaTypeTable&) = delete;
    MediaTypeTable& operator=(const MediaTypeTable&) = delete;
    ~MediaTypeTable();

    // Replaces the table with these entries. Extensions compare in any
    // case; of two entries for one extension the first is kept. Entries
    // whose extension is empty, over media_extension_limit bytes or holds a
    // "/", or whose type is empty, over media_type_limit bytes or holds a
    // byte outside printable ASCII, are left out. Text types (text/*,
    // JavaScript, XML) get "; charset=utf-8", as browsers then need no
    // guess. False when memory ran out: the table is then empty.
    bool build(const MediaTypeEntry* entries, size_t count);

    // The media type for `path`'s extension; empty when it has none or the
    // table does not know it.
    std::string_view find(std::string_view path) const;

    size_t size() const { return count_; }

private:
    struct Slot {
        uint32_t extension, extension_size, type, type_size, order;
    };
    void clear();
    std::string_view extension_of(const Slot& s) const {
        return std::string_view(text_ + s.extension, s.extension_size);
    }
    Slot* slots_ = nullptr;  // sorted by extension; text_ follows them in the same block
    char* text_ = nullptr;
    size_t count_ = 0;
};

}  // namespace zelweb
