// The decoding of a query or form value.
#pragma once
#include <string_view>

#include "py/ref.hpp"

namespace zelweb {

// Percent-decodes a value the way an application expects: "+" becomes a
// space, then the module's `unquote` runs on the text read as strict UTF-8.
// New bytes; on an error, the error is reported as ignored in `context` and
// empty bytes are returned.
Ref decode_form_value(std::string_view raw, const char* context);

}  // namespace zelweb
