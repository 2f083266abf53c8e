// Query and form values, decoded.
#include "context/form_value.hpp"

#include "py/bytes.hpp"
#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

Ref decode_form_value(std::string_view raw, const char* context) {
    // Forms encode a space as "+"; "%2B" still decodes to "+".
    char small[256] = {};
    Ref scratch;
    char* text = small;
    if (raw.size() > sizeof small) {
        scratch =
            Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(raw.size())));
        if (!scratch) return scratch;
        text = PyBytes_AS_STRING(scratch.get());
    }
    bool plain = true;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%' || static_cast<unsigned char>(c) >= 0x80) plain = false;
        text[i] = c == '+' ? ' ' : c;
    }
    if (plain) return bytes_of(std::string_view(text, raw.size()));

    Ref decoded =
        Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(raw.size()), "strict"));
    Ref unquote = decoded ? module_global(names.unquote) : Ref();
    Ref unquoted = unquote ? call(unquote.get(), decoded.get()) : Ref();
    Ref encoded = unquoted ? Ref::steal(PyUnicode_AsUTF8String(unquoted.get())) : Ref();
    if (encoded) return encoded;
    report_ignored_in(context);
    return bytes_of({});
}

}  // namespace zelweb
