// The text fields of a multipart form, kept as an urlencoded post text so
// that c_post finds them as it finds a form's.
#pragma once
#include <string_view>

#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

class FormFields {
public:
    FormFields(Connection& c, HttpObject* http) : c_(c), http_(http) {}

    // Starts the field `name`; false with MemoryError set.
    bool begin(std::string_view name);
    // Appends bytes of the current field's value.
    void add(std::string_view data) { write(data, true); }

private:
    bool ensure_buffer();
    // Past max_post the whole pair is taken back, and the limit reported once.
    void write(std::string_view s, bool encode);

    Connection& c_;
    HttpObject* http_;
    size_t pair_start_ = 0;
    bool dropped_ = false, reported_ = false;
};

// Points the record's `post` at the connection's body buffer, empty.
void attach_body(Connection& c, HttpObject* http);

}  // namespace zelweb
