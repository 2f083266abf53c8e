// Body accessors: form parameters, the JSON text, the upload's fields, and
// the file copy that keeps an upload.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "context/http_t.hpp"
#include "context/lookup.hpp"
#include "module/args.hpp"
#include "module/files.hpp"
#include "module/ref.hpp"
#include "module/report.hpp"

namespace zelweb {

namespace {

std::string_view post_text(const HttpObject* r) {
    return r->post ? std::string_view(r->post, r->post_size) : std::string_view();
}

// Whether `dest` names the very file open as `in` (opening it for writing
// would empty the source before a byte is read).
bool same_file(std::FILE* in, const std::string& dest) {
    struct stat a, b;
    return fstat(fileno(in), &a) == 0 && stat(dest.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Copies in blocks with the interpreter lock released. A regular file that
// could not be written whole is removed rather than left partial.
void copy_file(const std::string& source, const std::string& dest) {
    Py_BEGIN_ALLOW_THREADS
    std::FILE* in = std::fopen(source.c_str(), "rb");
    if (in && !same_file(in, dest)) {
        std::FILE* out = std::fopen(dest.c_str(), "wb");
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
            if (!ok && regular) std::remove(dest.c_str());
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
    if (!value) return bytes_of({});
    return decode_value(*value, "zelweb.http_t.c_post");
}

PyObject* http_t_c_json(PyObject* self, PyObject*) { return bytes_of(post_text(as_record(self))); }

PyObject* http_t_c_files(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    HttpObject* r = as_record(self);
    if (key == "type") return bytes_of(field_text(r->upload_type));
    if (key == "tmp_name") return bytes_of(field_text(r->upload_tmp_name));
    if (key == "name") return bytes_of(field_text(r->upload_name));
    if (key == "size") {
        char digits[24];
        int n = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(r->upload_size));
        return PyBytes_FromStringAndSize(digits, n);
    }
    return bytes_of({});
}

PyObject* http_t_c_copy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[2];
    std::string_view source, dest;
    if (!match_arguments("c_copy", copy_params, 2, args, nargs, kwnames, arg) ||
        !text_arg(arg[0], source) || !text_arg(arg[1], dest))
        return nullptr;
    std::string source_path(source), dest_path(dest);
    Ref path = Ref::steal(PyBytes_FromStringAndSize(source.data(), source.size()));
    int found = path ? path_exists(path.get()) : -1;
    if (found < 0) {
        add_traceback("zelweb.http_t.c_copy", "src/context/bodies.cpp", 0);
        report_ignored("zelweb.http_t.c_copy");
    } else if (found) {
        copy_file(source_path, dest_path);
    }
    return PyLong_FromLong(0);
}

}  // namespace zelweb
