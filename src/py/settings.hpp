// The module settings: set once by the execution step, then only read.
#pragma once
#include <cstdint>

namespace zelweb {

extern float post_timeout;  // seconds each receive of a request body may wait
extern uint32_t max_post;   // the largest form or JSON body that is read

}  // namespace zelweb
