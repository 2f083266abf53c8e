// The media-type table, filled from Python's mimetypes.
#pragma once
#include <Python.h>

#include "parse/media_types.hpp"

namespace zelweb {

// The table read from mimetypes.types_map (after mimetypes.init(), unless
// the application has already initialised the module), with a few web
// types added where the system lacks them. Read once, at the first call,
// under the interpreter lock; from then on any thread may use it without
// the lock, and the application's later changes to mimetypes are not seen.
// Null with an error set when it could not be read: a later call tries
// again.
const MediaTypeTable* media_type_table();

}  // namespace zelweb
