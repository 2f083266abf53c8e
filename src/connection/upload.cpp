// A multipart form: the first file streamed into tmp/, the text fields into
// the post text.
#include <sys/stat.h>

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

// "tmp/" followed by time.time_ns() and random.randrange(1000000, 9999999).
bool name_upload(HttpObject* http) {
    Ref time = module_global(names.g_time);
    Ref random = time ? module_global(names.g_random) : Ref();
    Ref ns = random ? call_method(time.get(), names.time_ns) : Ref();
    Ref number =
        ns ? call_method(random.get(), names.randrange, names.random_low, names.random_high)
           : Ref();
    Ref name =
        number ? Ref::steal(PyUnicode_FromFormat("tmp/%S%S", ns.get(), number.get())) : Ref();
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) return false;
    bounded_copy(http->upload_tmp_name, text, sizeof http->upload_tmp_name);
    return true;
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

enum class PartKind { none, file, field, dropped };

// The parts, event by event. False with an error set.
bool stream_parts(Connection& c, HttpObject* http, PyObject* file) {
    std::unique_ptr<MultipartReader> reader(new (std::nothrow) MultipartReader);
    if (!reader) {
        PyErr_NoMemory();
        return false;
    }
    BodySource source(c, http->content_length);
    if (!source.begin()) return false;
    FormFields fields(c, http);
    PartKind kind = PartKind::none;
    bool file_seen = false;
    for (;;) {
        switch (reader->next()) {
            case MultipartReader::Event::need_more: {
                if (source.remaining() == 0) {
                    reader->finish_input();
                    break;
                }
                Py_ssize_t n = source.read(reader->free_space(), reader->free_size());
                if (n < 0) return false;
                if (n == 0)
                    return malformed("connection closed before the end of the multipart body");
                reader->commit(static_cast<size_t>(n));
                break;
            }
            case MultipartReader::Event::part_head: {
                PartHead head = parse_part_head(reader->head());
                if (head.filename && !file_seen) {
                    file_seen = true;
                    kind = PartKind::file;
                    bounded_copy(http->upload_name, *head.filename, sizeof http->upload_name);
                    if (head.content_type)
                        bounded_copy(http->upload_type, *head.content_type,
                                     sizeof http->upload_type);
                } else if (!head.filename && head.name) {
                    kind = PartKind::field;
                    if (!fields.begin(*head.name)) return false;
                } else {
                    kind = PartKind::dropped;
                }
                break;
            }
            case MultipartReader::Event::data:
                if (kind == PartKind::file) {
                    if (!write_to(file, reader->data())) return false;
                    http->upload_size += static_cast<int64_t>(reader->data().size());
                } else if (kind == PartKind::field) {
                    fields.add(reader->data());
                }
                break;
            case MultipartReader::Event::part_end: kind = PartKind::none; break;
            case MultipartReader::Event::done:
                // The epilogue, if any, is received and dropped.
                while (source.remaining() > 0) {
                    Py_ssize_t n = source.read(reader->free_space(), reader->free_size());
                    if (n < 0) return false;
                    if (n == 0) break;
                }
                return true;
            case MultipartReader::Event::error: return malformed(reader->error_text());
        }
    }
}

}  // namespace

Outcome read_upload(Connection& c, HttpObject* http) {
    if (!name_upload(http)) return Outcome::failed;
    Ref path = Ref::steal(PyBytes_FromString(http->upload_tmp_name));
    Ref file = path ? open_file(path.get(), names.mode_wb) : Ref();
    if (!file) return Outcome::failed;
    stream_parts(c, http, file.get());
    // The file is buffered: a full disk may only show when it is closed.
    close_file(file.get());
    // After a failed write the file may hold part of what was counted: its
    // size is what was kept.
    struct stat kept;
    if (stat(http->upload_tmp_name, &kept) == 0) http->upload_size = kept.st_size;
    if (!PyErr_Occurred()) return Outcome::done;
    return PyErr_ExceptionMatches(PyExc_Exception) ? Outcome::upload_error : Outcome::failed;
}

}  // namespace zelweb
