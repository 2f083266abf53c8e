// Body accessors: form parameters, the JSON text, the upload's fields, and
// the file copy that keeps an upload.
#include <sys/stat.h>

#include <cstdio>

#include "context/form_value.hpp"
#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "parse/pairs.hpp"
#include "parse/text.hpp"
#include "py/args.hpp"
#include "py/bytes.hpp"
#include "py/files.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

std::string_view post_text(const HttpObject* r) {
    return r->post ? std::string_view(r->post, r->post_size) : std::string_view();
}

// Whether `dest` names the very file open as `in` (opening it for writing
// would empty the source before a byte is read).
bool same_file(std::FILE* in, const char* dest) {
    struct stat a, b;
    return fstat(fileno(in), &a) == 0 && stat(dest, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Copies in blocks with the interpreter lock released. A regular file that
// could not be written whole is removed rather than left partial.
void copy_file(const char* source, const char* dest) {
    Py_BEGIN_ALLOW_THREADS
        std::FILE* in = std::fopen(source, "rb");
        if (in && !same_file(in, dest)) {
            std::FILE* out = std::fopen(dest, "wb");
            if (out) {
                static thread_local char block[64 * 1024];
                struct stat written;
                bool regular = fstat(fileno(out), &written) == 0 && S_ISREG(written.st_mode);
                bool ok = true;
                size_t n;
                while (ok && (n = std::fread(block, 1, sizeof block, in)) > 0)
                    ok = std::fwrite(block, 1, n, out) == n;
                ok = ok && !std::ferror(in);
                ok = (std::fclose(out) == 0) && ok;
                if (!ok && regular) std::remove(dest);
            }
        }
        if (in) std::fclose(in);
    Py_END_ALLOW_THREADS
}

const char* const copy_params[] = {"source_path", "dest"};

}  // namespace

PyObject* http_t_c_post(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    auto value = find_pair_value(post_text(as_record(self)), "&", key);
    if (!value) return bytes_of({}).release();
    return decode_form_value(*value, "zelweb.http_t.c_post").release();
}

PyObject* http_t_c_json(PyObject* self, PyObject*) {
    return bytes_of(post_text(as_record(self))).release();
}

PyObject* http_t_c_files(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    HttpObject* r = as_record(self);
    if (key == "type") return bytes_of(field_text(r->upload_type)).release();
    if (key == "tmp_name") return bytes_of(field_text(r->upload_tmp_name)).release();
    if (key == "name") return bytes_of(field_text(r->upload_name)).release();
    if (key == "size") {
        char digits[24];
        int n =
            std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(r->upload_size));
        return bytes_of(std::string_view(digits, static_cast<size_t>(n))).release();
    }
    return bytes_of({}).release();
}

PyObject* http_t_c_copy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[2];
    std::string_view source, dest;
    if (!match_arguments("c_copy", copy_params, 2, args, nargs, kwnames, arg) ||
        !text_arg(arg[0], source) || !text_arg(arg[1], dest))
        return nullptr;
    // Bytes objects end in a zero byte: the C paths, and the path os sees.
    Ref source_path = bytes_of(source);
    Ref dest_path = source_path ? bytes_of(dest) : Ref();
    int found = dest_path ? path_exists(source_path.get()) : -1;
    if (found < 0)
        report_ignored_in("zelweb.http_t.c_copy");
    else if (found)
        copy_file(PyBytes_AS_STRING(source_path.get()), PyBytes_AS_STRING(dest_path.get()));
    return PyLong_FromLong(0);
}

PyObject* http_t_c_body(PyObject* self, PyObject*) {
    const HttpObject* r = as_record(self);
    return bytes_of(r->body ? std::string_view(r->body, r->body_size) : std::string_view())
        .release();
}

PyObject* http_t_c_uploads(PyObject* self, PyObject*) {
    const UploadList* uploads = as_record(self)->uploads;
    size_t count = uploads ? uploads->size() : 0;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        const UploadEntry& e = (*uploads)[i];
        Ref items[] = {bytes_of(field_text(e.field)),           bytes_of(field_text(e.filename)),
                       bytes_of(field_text(e.content_type)),    bytes_of(field_text(e.tmp_name)),
                       Ref::steal(PyLong_FromLongLong(e.size)), bytes_of(field_text(e.error))};
        Ref entry = Ref::steal(PyTuple_New(6));
        if (!entry) return nullptr;
        for (Py_ssize_t k = 0; k < 6; ++k) {
            if (!items[k]) return nullptr;
            PyTuple_SET_ITEM(entry.get(), k, items[k].release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list.release();
}

}  // namespace zelweb
