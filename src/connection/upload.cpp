// A multipart form: each file part streamed into a file of its own under
// tmp/, the text fields into the post text.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "connection/body.hpp"
#include "connection/body_source.hpp"
#include "connection/form_fields.hpp"
#include "parse/multipart.hpp"
#include "parse/part_head.hpp"
#include "parse/text.hpp"
#include "py/bytes.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

// The upload directory ("tmp/" for start) followed by time.time_ns() and
// random.randrange(1000000, 9999999).
bool name_upload(const char* prefix, char (&path)[path_capacity]) {
    Ref time = module_global(names.g_time);
    Ref random = time ? module_global(names.g_random) : Ref();
    Ref ns = random ? call_method(time.get(), names.time_ns) : Ref();
    Ref number =
        ns ? call_method(random.get(), names.randrange, names.random_low, names.random_high)
           : Ref();
    Ref name = number ? Ref::steal(PyUnicode_FromFormat("%S%S", ns.get(), number.get())) : Ref();
    const char* digits = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!digits) return false;
    char full[2 * path_capacity];
    int n = std::snprintf(full, sizeof full, "%s%s", prefix, digits);
    bounded_copy(path, std::string_view(full, n < 0 ? 0 : std::min<size_t>(n, sizeof full - 1)),
                 sizeof path);
    return true;
}

Ref open_upload(const char* path) {
    Ref name = Ref::steal(PyBytes_FromString(path));
    return name ? open_file(name.get(), names.mode_wb) : Ref();
}

bool write_to(PyObject* file, std::string_view data) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(
        const_cast<char*>(data.data()), static_cast<Py_ssize_t>(data.size()), PyBUF_READ));
    return view && call_method(file, names.write, view.get());
}

// A body that breaks the multipart framing ends the upload like an error of
// the connection: its text is what gets reported.
bool malformed(const char* why) {
    PyErr_SetString(PyExc_ValueError, why);
    return false;
}

int64_t size_on_disk(const char* path) {
    struct stat kept;
    return stat(path, &kept) == 0 ? static_cast<int64_t>(kept.st_size) : 0;
}

template <size_t N>
void copy_truncated(char (&field)[N], std::string_view text) {
    size_t n = text.size() < N ? text.size() : N - 1;
    if (n) std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// The file parts: the first one into the file named before the body is read
// (c_files describes it), the next ones into files of their own, up to
// kept_uploads; later ones are listed but their data is dropped.
class FileParts {
public:
    FileParts(Connection& c, HttpObject* http) : c_(c), http_(http) {}
    FileParts(const FileParts&) = delete;
    FileParts& operator=(const FileParts&) = delete;

    bool open_first() {
        if (!name_upload(c_.upload_prefix, http_->upload_tmp_name)) return false;
        first_file_ = open_upload(http_->upload_tmp_name);
        return static_cast<bool>(first_file_);
    }

    // A new file part; false with an error set.
    bool begin(const PartHead& head) {
        if (++count_ > upload_entries) return malformed("multipart body: more than 256 file parts");
        entry_ = c_.uploads.add();
        if (!entry_) return false;
        if (head.name) bounded_copy(entry_->field, *head.name, sizeof entry_->field);
        bounded_copy(entry_->filename, *head.filename, sizeof entry_->filename);
        if (head.content_type)
            bounded_copy(entry_->content_type, *head.content_type, sizeof entry_->content_type);
        if (count_ == 1) {
            bounded_copy(http_->upload_name, *head.filename, sizeof http_->upload_name);
            if (head.content_type)
                bounded_copy(http_->upload_type, *head.content_type, sizeof http_->upload_type);
            copy_truncated(entry_->tmp_name, field_text(http_->upload_tmp_name));
            file_ = std::move(first_file_);
        } else if (count_ <= kept_uploads) {
            if (!name_upload(c_.upload_prefix, entry_->tmp_name)) return false;
            file_ = open_upload(entry_->tmp_name);
            if (!file_) return false;
        } else {
            copy_truncated(entry_->error, "not kept: more than 64 files in one request");
        }
        return true;
    }

    bool write(std::string_view data) {
        if (!file_) return true;  // not kept
        if (!write_to(file_.get(), data)) return false;
        entry_->size += static_cast<int64_t>(data.size());
        return true;
    }

    // The part is complete: its file closed (a full disk may only show at the
    // close of a buffered file) and its size what it kept. False with the
    // close's error set; the part stays current, for fail_current.
    bool end() {
        if (file_) {
            bool closed = close_file(file_.get());
            file_ = Ref();
            entry_->size = size_on_disk(entry_->tmp_name);
            if (!closed) return false;
        }
        entry_ = nullptr;
        return true;
    }

    // The upload ends with the pending error: the part being written, if
    // any, says why, and its file is closed (the error kept first).
    void fail_current() {
        if (entry_ && PyErr_Occurred()) {
            SavedError error;
            Ref text = Ref::steal(PyObject_Str(error.value() ? error.value() : error.type()));
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            PyErr_Clear();
            copy_truncated(entry_->error, utf8 ? utf8 : "upload error");
            error.restore_copy();
        }
        if (file_) {
            close_file(file_.get());
            file_ = Ref();
            entry_->size = size_on_disk(entry_->tmp_name);
        }
        entry_ = nullptr;
    }

    // The first file, even when the form held no file part.
    void finish() {
        if (first_file_) close_file(first_file_.get());
        first_file_ = Ref();
        http_->upload_size = size_on_disk(http_->upload_tmp_name);
    }

private:
    Connection& c_;
    HttpObject* http_;
    Ref first_file_, file_;
    UploadEntry* entry_ = nullptr;
    size_t count_ = 0;
};

enum class PartKind { none, file, field, dropped };

// What the body source said of a body it could not go on with: a framing
// that broke or a body too large end the request (`broken`); anything else
// ends the upload with an error of its own.
bool source_stopped(const BodySource& source, Outcome& broken) {
    Outcome why = source.stop();
    if (why == Outcome::bad_request || why == Outcome::too_large) {
        broken = why;
        return false;
    }
    if (why == Outcome::cut_short && !PyErr_Occurred())
        return malformed("connection closed before the end of the multipart body");
    return false;
}

// The parts, event by event. False with an error set, or with `broken` set.
bool stream_parts(Connection& c, HttpObject* http, FileParts& files, Outcome& broken) {
    std::unique_ptr<MultipartReader> reader(new (std::nothrow) MultipartReader);
    if (!reader) {
        PyErr_NoMemory();
        return false;
    }
    BodySource source(c);
    if (!source.begin()) return source_stopped(source, broken);
    FormFields fields(c, http);
    PartKind kind = PartKind::none;
    for (;;) {
        switch (reader->next()) {
            case MultipartReader::Event::need_more: {
                if (source.complete()) {
                    reader->finish_input();
                    break;
                }
                Py_ssize_t n = source.read(reader->free_space(), reader->free_size());
                if (n == BodySource::stopped) return source_stopped(source, broken);
                reader->commit(static_cast<size_t>(n));
                break;
            }
            case MultipartReader::Event::part_head: {
                PartHead head = parse_part_head(reader->head());
                if (head.filename) {
                    kind = PartKind::file;
                    if (!files.begin(head)) return false;
                } else if (head.name) {
                    kind = PartKind::field;
                    if (!fields.begin(*head.name)) return false;
                } else {
                    kind = PartKind::dropped;
                }
                break;
            }
            case MultipartReader::Event::data:
                if (kind == PartKind::file) {
                    if (!files.write(reader->data())) return false;
                } else if (kind == PartKind::field) {
                    fields.add(reader->data());
                }
                break;
            case MultipartReader::Event::part_end:
                if (kind == PartKind::file && !files.end()) return false;
                kind = PartKind::none;
                break;
            case MultipartReader::Event::done:
                // The epilogue, if any, is received and dropped.
                while (!source.complete()) {
                    Py_ssize_t n = source.read(reader->free_space(), reader->free_size());
                    if (n != BodySource::stopped) continue;
                    // An epilogue cut short leaves every part whole.
                    if (source.stop() == Outcome::cut_short && !PyErr_Occurred()) return true;
                    return source_stopped(source, broken);
                }
                return true;
            case MultipartReader::Event::error: return malformed(reader->error_text());
        }
    }
}

}  // namespace

Outcome read_upload(Connection& c, HttpObject* http) {
    FileParts files(c, http);
    if (!files.open_first()) return Outcome::failed;
    Outcome broken = Outcome::done;
    bool ok = stream_parts(c, http, files, broken);
    http->uploads = &c.uploads;
    if (!ok) files.fail_current();
    files.finish();
    if (broken != Outcome::done) return broken;
    if (!PyErr_Occurred()) return Outcome::done;
    return PyErr_ExceptionMatches(PyExc_Exception) ? Outcome::upload_error : Outcome::failed;
}

}  // namespace zelweb
