// The response text of a record. Its field holds up to 1,023,999 bytes, but
// its storage is taken when the text is set, sized to the text, so that a
// record does not cost a megabyte.
#pragma once
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace zelweb {

class ResponseText {
public:
    ResponseText() = default;
    ResponseText(const ResponseText&) = delete;
    ResponseText& operator=(const ResponseText&) = delete;
    ~ResponseText() { std::free(data_); }

    std::string_view view() const { return std::string_view(data_ ? data_ : "", size_); }

    // Replaces the text; false with MemoryError set, the old text kept.
    bool replace(std::string_view text) {
        char* copy = static_cast<char*>(std::malloc(text.size() + 1));
        if (!copy) {
            PyErr_NoMemory();
            return false;
        }
        if (!text.empty()) std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
        std::free(std::exchange(data_, copy));
        size_ = text.size();
        return true;
    }

private:
    char* data_ = nullptr;  // NUL-terminated when not null
    size_t size_ = 0;
};

}  // namespace zelweb
