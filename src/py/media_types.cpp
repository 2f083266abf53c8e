// The media-type table's one filling.
#include "py/media_types.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include "py/ref.hpp"

namespace zelweb {

namespace {

// Types browsers need that older Pythons and some systems' mime.types lack;
// the system's own entry wins where it has one.
constexpr MediaTypeEntry web_types[] = {
    {"mjs", "text/javascript"}, {"wasm", "application/wasm"}, {"webp", "image/webp"},
    {"avif", "image/avif"},     {"woff", "font/woff"},        {"woff2", "font/woff2"},
    {"webmanifest", "application/manifest+json"},
};
constexpr size_t web_type_count = sizeof web_types / sizeof web_types[0];

std::atomic<const MediaTypeTable*> published{nullptr};

struct FreeOnExit {
    void* memory;
    ~FreeOnExit() { std::free(memory); }
};

Ref types_map() {
    Ref module = Ref::steal(PyImport_ImportModule("mimetypes"));
    if (!module) return module;
    Ref inited = Ref::steal(PyObject_GetAttrString(module.get(), "inited"));
    int done = inited ? PyObject_IsTrue(inited.get()) : -1;
    if (done < 0) return Ref();
    if (!done && !Ref::steal(PyObject_CallMethod(module.get(), "init", nullptr))) return Ref();
    Ref map = Ref::steal(PyObject_GetAttrString(module.get(), "types_map"));
    if (map && !PyDict_Check(map.get())) {
        PyErr_SetString(PyExc_TypeError, "mimetypes.types_map is not a dict");
        return Ref();
    }
    return map;
}

const MediaTypeTable* read_table() {
    Ref map = types_map();
    // The items keep every key and value alive while the table is built.
    Ref items = map ? Ref::steal(PyDict_Items(map.get())) : Ref();
    if (!items) return nullptr;
    size_t n = static_cast<size_t>(PyList_GET_SIZE(items.get()));
    auto* entries =
        static_cast<MediaTypeEntry*>(std::malloc((n + web_type_count) * sizeof(MediaTypeEntry)));
    FreeOnExit owner{entries};
    if (!entries) {
        PyErr_NoMemory();
        return nullptr;
    }
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) continue;
        Py_ssize_t key_size, value_size;
        const char* k = PyUnicode_AsUTF8AndSize(key, &key_size);
        const char* v = k ? PyUnicode_AsUTF8AndSize(value, &value_size) : nullptr;
        if (!v) {
            PyErr_Clear();  // a name that is not text is left out
            continue;
        }
        entries[used++] = {std::string_view(k, static_cast<size_t>(key_size)),
                           std::string_view(v, static_cast<size_t>(value_size))};
    }
    for (const MediaTypeEntry& e : web_types) entries[used++] = e;
    auto* table = new (std::nothrow) MediaTypeTable();
    if (!table || !table->build(entries, used)) {
        delete table;
        PyErr_NoMemory();
        return nullptr;
    }
    return table;
}

}  // namespace

const MediaTypeTable* media_type_table() {
    if (const MediaTypeTable* table = published.load(std::memory_order_acquire)) return table;
    const MediaTypeTable* table = read_table();
    if (!table) return nullptr;
    // Reading mimetypes may let the interpreter lock go: another thread may
    // have published its own table meanwhile, and keeps it.
    const MediaTypeTable* expected = nullptr;
    if (!published.compare_exchange_strong(expected, table, std::memory_order_acq_rel)) {
        delete table;
        return expected;
    }
    return table;
}

}  // namespace zelweb
