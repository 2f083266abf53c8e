// The end of a request: its uploads removed, its loans taken back.
#include "connection/request_end.hpp"

#include <cstring>

#include "py/bytes.hpp"
#include "py/files.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

bool remove_path(const char* path) {
    if (!path[0]) return true;
    Ref name = Ref::steal(PyBytes_FromString(path));
    return name && remove_if_exists(name.get());
}

}  // namespace

bool remove_uploads(const Connection& c, const HttpObject* http) {
    bool ok = remove_path(http->upload_tmp_name);
    for (size_t i = 0; i < c.uploads.size(); ++i) {
        // The first file part's entry names the file just removed.
        if (std::strcmp(c.uploads[i].tmp_name, http->upload_tmp_name) == 0) continue;
        SavedError first;
        bool removed = remove_path(c.uploads[i].tmp_name);
        if (!first.empty()) {
            PyErr_Clear();
            first.restore_copy();
        }
        ok = removed && ok;
    }
    return ok;
}

void end_record(const Connection& c, HttpObject* http, const char* context) {
    if (!remove_uploads(c, http)) report_ignored_in(context);
    take_back_loans(http);
    close_chosen_file(http);
    release_stream(http);
}

void print_upload_error() {
    SavedError error;
    Ref text = Ref::steal(PyObject_Str(error.value() ? error.value() : error.type()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    print_message("%s\n", utf8 ? utf8 : "upload error");
}

}  // namespace zelweb
