// The second stage: the request body read into the record.
#pragma once
#include "connection/connection.hpp"
#include "context/http_t.hpp"

namespace zelweb {

// A multipart POST is streamed to tmp/ (upload.cpp); any other body, of any
// method, is read whole for c_body (up to max_post bytes), and for a POST
// form or JSON text it is also the post text. bad_request: the chunked
// framing broke. too_large: the body is over c.max_body (by its length
// before anything is read, or as a chunked body is decoded). cut_short,
// peer_gone, failed: the body did not come whole (see Outcome).
Outcome read_body(Connection& c, HttpObject* http);

// A multipart form: each file part streamed into a file of its own under
// tmp/, the text fields into the post text. upload_error: the upload ended
// early (the pending Exception says why); bad_request and too_large as for
// read_body.
Outcome read_upload(Connection& c, HttpObject* http);

}  // namespace zelweb
