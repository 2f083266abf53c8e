// The media-type table: one block of memory, sorted once, searched by
// halves.
#include "parse/media_types.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "parse/limits.hpp"

namespace zelweb {

namespace {

constexpr std::string_view utf8 = "; charset=utf-8";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool ends_with(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool takes_charset(std::string_view type) {
    if (type.find(';') != type.npos) return false;
    return type.substr(0, 5) == "text/" || type == "application/javascript" ||
           type == "application/ecmascript" || type == "application/xml" || ends_with(type, "+xml");
}

std::string_view bare_extension(std::string_view e) { return e.substr(e.substr(0, 1) == "." ? 1 : 0); }

bool usable(const MediaTypeEntry& e) {
    std::string_view ext = bare_extension(e.extension);
    if (ext.empty() || ext.size() > media_extension_limit || ext.find('/') != ext.npos) return false;
    if (e.type.empty() || e.type.size() > media_type_limit) return false;
    for (char c : e.type)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

}  // namespace

std::string_view path_extension(std::string_view path) {
    std::string_view segment = path.substr(path.rfind('/') + 1);  // npos + 1 is 0
    size_t dot = segment.rfind('.');
    if (dot == segment.npos || dot == 0) return {};
    return segment.substr(dot + 1);
}

MediaTypeTable::~MediaTypeTable() { clear(); }

void MediaTypeTable::clear() {
    std::free(slots_);
    slots_ = nullptr;
    text_ = nullptr;
    count_ = 0;
}

bool MediaTypeTable::build(const MediaTypeEntry* entries, size_t count) {
    clear();
    size_t kept = 0, text = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!usable(entries[i])) continue;
        ++kept;
        text += bare_extension(entries[i].extension).size() + entries[i].type.size() +
                (takes_charset(entries[i].type) ? utf8.size() : 0);
    }
    if (kept == 0) return true;
    void* block = std::malloc(kept * sizeof(Slot) + text);
    if (!block) return false;
    slots_ = static_cast<Slot*>(block);
    text_ = static_cast<char*>(block) + kept * sizeof(Slot);
    size_t at = 0, n = 0;
    auto put = [&](std::string_view s) {
        std::memcpy(text_ + at, s.data(), s.size());
        at += s.size();
    };
    for (size_t i = 0; i < count; ++i) {
        if (!usable(entries[i])) continue;
        std::string_view ext = bare_extension(entries[i].extension), type = entries[i].type;
        Slot& s = slots_[n];
        s.order = static_cast<uint32_t>(n);
        s.extension = static_cast<uint32_t>(at);
        s.extension_size = static_cast<uint32_t>(ext.size());
        for (char c : ext) text_[at++] = lower(c);
        s.type = static_cast<uint32_t>(at);
        put(type);
        if (takes_charset(type)) put(utf8);
        s.type_size = static_cast<uint32_t>(at - s.type);
        ++n;
    }
    std::sort(slots_, slots_ + n, [&](const Slot& a, const Slot& b) {
        std::string_view x = extension_of(a), y = extension_of(b);
        return x != y ? x < y : a.order < b.order;
    });
    // The first of each run of equal extensions stays.
    size_t w = 0;
    for (size_t i = 0; i < n; ++i)
        if (w == 0 || extension_of(slots_[w - 1]) != extension_of(slots_[i])) slots_[w++] = slots_[i];
    count_ = w;
    return true;
}

std::string_view MediaTypeTable::find(std::string_view path) const {
    std::string_view ext = path_extension(path);
    if (ext.empty() || ext.size() > media_extension_limit || count_ == 0) return {};
    char key_text[media_extension_limit];
    for (size_t i = 0; i < ext.size(); ++i) key_text[i] = lower(ext[i]);
    std::string_view key(key_text, ext.size());
    const Slot* begin = slots_;
    const Slot* end = slots_ + count_;
    const Slot* found = std::lower_bound(
        begin, end, key, [&](const Slot& s, std::string_view k) { return extension_of(s) < k; });
    if (found == end || extension_of(*found) != key) return {};
    return std::string_view(text_ + found->type, found->type_size);
}

}  // namespace zelweb
