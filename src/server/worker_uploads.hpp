// The upload files of serve's workers. A worker's upload names begin with
// its process id, so that the parent can remove what a worker that died
// left behind (a SIGKILL runs no clean-up of its own).
#pragma once
#include "server/serve_config.hpp"

namespace zelweb {

// In a worker: its upload names become "<upload_dir>/<pid>-<digits>".
void mark_worker_uploads(ServeConfig& config, long pid);

// In the parent, once the worker `pid` has ended: its upload files removed
// (best effort: a file that cannot be removed stays, without a report).
void remove_worker_uploads(const ServeConfig& config, long pid);

}  // namespace zelweb
