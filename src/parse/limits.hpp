// Every fixed capacity and time limit of the server, in one place.
// A text capacity counts the terminating zero byte: a field of N bytes holds
// at most N - 1 bytes of text.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zelweb {

// The request record's fields.
constexpr size_t url_capacity = 1024;
constexpr size_t method_capacity = 100;
constexpr size_t protocol_capacity = 10;
constexpr size_t user_agent_capacity = 150;
constexpr size_t cookie_capacity = 1024;
constexpr size_t media_type_capacity = 40;
constexpr size_t query_capacity = 1025;
constexpr size_t query_limit = 1024;  // the query's bound, one below its field
constexpr size_t set_cookie_capacity = 1024;
constexpr size_t headers_capacity = 1024;
constexpr size_t response_protocol_capacity = 100;
constexpr size_t status_text_capacity = 10;
constexpr size_t text_capacity = 1024000;
constexpr size_t content_type_capacity = 250;
constexpr size_t path_capacity = 250;  // upload names and file paths
constexpr size_t auth_capacity = 1024;
constexpr size_t remote_addr_capacity = 64;  // an IPv6 address with its scope
constexpr size_t scheme_capacity = 8;

// Response lines are built in scratch lines of these sizes.
constexpr size_t header_line_capacity = 512;
constexpr size_t cookie_line_capacity = 256;

// Which limits a record keeps: start's, the fixed fields above, or serve's,
// under which a value that outgrows its field is kept beside the record.
enum class Limits : unsigned char { fixed, extended };

// serve's limits on what the application sets (the text has none).
constexpr size_t serve_status_text_limit = 128;  // bytes of a status text
constexpr size_t serve_line_limit = 8190;        // a header or cookie line, its CR LF included
constexpr size_t serve_lines_limit = 65536;      // all header lines; all cookie lines

// Files sent with c_file and from static folders.
constexpr size_t file_path_limit = 4096;       // bytes of a path given to c_file
constexpr size_t inline_file_limit = 16384;    // a body this small goes in its head's send
constexpr size_t static_path_capacity = 4096;  // a request path decoded under a static prefix
constexpr size_t static_folder_limit = 64;     // folders given to serve's static
constexpr size_t static_prefix_limit = 1024;   // bytes of a static folder's URL prefix
constexpr long static_max_age_limit = 2147483648;  // the largest Cache-Control max-age sent
constexpr size_t media_extension_limit = 32;   // the longest extension the media-type table holds
constexpr size_t media_type_limit = 200;       // the longest media type it holds

// The request head and multipart bodies.
constexpr size_t head_capacity = 8192;
constexpr size_t part_head_capacity = 1024;
constexpr size_t boundary_line_capacity = 90;
constexpr size_t multipart_window = 64 * 1024;

// The files of one multipart form.
constexpr size_t kept_uploads = 64;            // file parts streamed to files
constexpr size_t upload_entries = 256;         // file parts listed at all
constexpr size_t upload_error_capacity = 200;  // the text of the error that ended a file

// The chunked transfer coding of a request body.
constexpr size_t chunk_line_limit = 1024;       // a chunk-size line, extensions and CRLF included
constexpr size_t trailer_section_limit = 8192;  // all trailer lines and the final CRLF

// The module settings, as the execution step sets them.
constexpr float post_timeout_seconds = 60.0f;  // each receive of a request body
constexpr uint32_t max_post_bytes = 1024000;   // the largest form or JSON body read

// Time limits, in seconds.
constexpr int head_receive_seconds = 5;        // each receive of the head
constexpr double head_seconds = 10.0;          // the whole head, from the connection's start
constexpr int send_progress_seconds = 60;      // each send of the response
constexpr double drain_seconds = 2.0;          // reading an unread body before the close
constexpr double accept_pause_seconds = 0.05;  // after an accept out of descriptors or memory

// serve's connections, threads and stop.
constexpr long default_max_connections = 65536;  // held by the core (plain TCP)
constexpr long default_tls_connections = 1024;   // under TLS each holds a thread
constexpr long default_threads = 16;             // application threads of the core
constexpr size_t descriptor_reserve = 64;        // descriptors kept for files, uploads, the core
constexpr double pool_idle_seconds = 2.0;       // a thread with no connection this long ends
constexpr double stop_check_seconds = 0.05;     // waits that must notice a stop or a signal
constexpr double stop_force_seconds = 1.0;      // after the shutdown timeout, for the last ones
constexpr double worker_respawn_seconds = 1.0;  // a worker that died this young waits to restart
constexpr size_t upload_dir_limit = 200;        // bytes of serve's upload directory
constexpr size_t worker_mark_capacity = 24;     // a worker's "<pid>-" before its upload names
constexpr size_t root_path_limit = 1024;        // bytes of serve's root_path

// Proxies whose forwarded fields are trusted, and the X-Forwarded-For lines
// of one request that are read (the nearest ones).
constexpr size_t forwarded_allow_limit = 64;
constexpr size_t forwarded_lines_limit = 16;

// The WSGI interface: wsgi.input's read-ahead for readline, and the
// largest response head an application may compose.
constexpr size_t input_readahead = 16 * 1024;
constexpr size_t response_head_limit = 64 * 1024;
constexpr size_t cached_value_limit = 256;  // a header value kept for the next request to reuse

// An unread body larger than this is not drained before the close.
constexpr uint64_t drain_limit = 16 * 1024 * 1024;

}  // namespace zelweb
