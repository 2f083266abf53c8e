// The second stage of a POST: its body read into the record.
#pragma once
#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// By the media type: a form or JSON text into the body buffer, or a
// multipart form streamed to tmp/ (upload.cpp); any other body stays unread.
Outcome read_body(Connection& c, HttpObject* http);

// The multipart form: its first file streamed into a file under tmp/, its
// text fields into the post text. upload_error: the upload ended early.
Outcome read_upload(Connection& c, HttpObject* http);

}  // namespace zelweb
