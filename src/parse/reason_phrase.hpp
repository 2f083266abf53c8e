// The standard reason phrase of a status code.
#pragma once
#include <string_view>

namespace zelweb {

// RFC 9110's phrases and those of the other registered codes in common use
// (102, 103, 207, 208, 226, 418, 421, 422, 425, 426, 428, 429, 431, 451,
// 506, 507, 508, 510, 511); empty for any other code.
std::string_view reason_phrase(unsigned status);

}  // namespace zelweb
