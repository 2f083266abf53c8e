// Storage beside the record for serve's values that outgrow their fixed
// fields: a long request target or query, a long status text, header and
// cookie lines past their fields. Made only when a value needs it, so a
// request whose values fit costs nothing more.
#pragma once
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace zelweb {

// A text on the heap; not in use (and holding no memory) until set.
class LongText {
public:
    LongText() = default;
    LongText(const LongText&) = delete;
    LongText& operator=(const LongText&) = delete;
    ~LongText() { std::free(data_); }

    bool in_use() const { return data_ != nullptr; }
    std::string_view view() const { return std::string_view(data_ ? data_ : "", size_); }

    // Replaces the text with `s` (which must not point into it); false with
    // MemoryError set, the text unchanged.
    bool assign(std::string_view s) {
        if (!reserve(s.size())) return false;
        if (!s.empty()) std::memcpy(data_, s.data(), s.size());
        size_ = s.size();
        return true;
    }

    // Appends the pieces; false with MemoryError set, nothing appended.
    bool append(std::initializer_list<std::string_view> pieces) {
        size_t total = size_;
        for (std::string_view p : pieces) total += p.size();
        if (!reserve(total)) return false;
        for (std::string_view p : pieces) {
            if (p.empty()) continue;  // an empty view may hold no address at all
            std::memcpy(data_ + size_, p.data(), p.size());
            size_ += p.size();
        }
        return true;
    }

    void clear() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    bool reserve(size_t size) {
        if (data_ && size <= capacity_) return true;
        size_t capacity = capacity_ * 2 > size ? capacity_ * 2 : size;
        void* grown = std::realloc(data_, capacity ? capacity : 1);
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }
    char* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

struct LongValues {
    LongText url, query, status_text, headers, set_cookie;
};

}  // namespace zelweb
