// The file parts of a multipart form, as c_uploads lists them. The handler
// owns the list; the record points at it while its request is served.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "parse/limits.hpp"

namespace zelweb {

struct UploadEntry {
    char field[path_capacity];
    char filename[path_capacity];
    char content_type[media_type_capacity];
    char tmp_name[path_capacity];  // empty when the part was not kept
    int64_t size;                  // bytes written
    char error[upload_error_capacity];
};

class UploadList {
public:
    UploadList() = default;
    UploadList(const UploadList&) = delete;
    UploadList& operator=(const UploadList&) = delete;
    ~UploadList() { std::free(entries_); }

    // A new entry with every field empty; null with MemoryError set.
    UploadEntry* add() {
        if (count_ == capacity_) {
            size_t more = capacity_ ? 2 * capacity_ : 4;
            void* grown = std::realloc(entries_, more * sizeof(UploadEntry));
            if (!grown) {
                PyErr_NoMemory();
                return nullptr;
            }
            entries_ = static_cast<UploadEntry*>(grown);
            capacity_ = more;
        }
        UploadEntry* e = &entries_[count_++];
        e->field[0] = e->filename[0] = e->content_type[0] = e->tmp_name[0] = e->error[0] = '\0';
        e->size = 0;
        return e;
    }
    size_t size() const { return count_; }
    void clear() { count_ = 0; }
    const UploadEntry& operator[](size_t i) const { return entries_[i]; }
    UploadEntry& operator[](size_t i) { return entries_[i]; }

private:
    UploadEntry* entries_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
};

}  // namespace zelweb
