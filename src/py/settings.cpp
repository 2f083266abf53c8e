// Storage of the module settings.
#include "py/settings.hpp"

namespace zelweb {

float post_timeout = 0;
uint32_t max_post = 0;

}  // namespace zelweb
