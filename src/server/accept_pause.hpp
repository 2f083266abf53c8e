// The pause after an accept that failed for want of resources.
#pragma once

namespace zelweb {

// When the pending error says the process or the system is out of
// descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM, MemoryError),
// waits accept_pause_seconds with the interpreter lock released, so that the
// accept loop does not spin on an error only time can end. The error stays.
void pause_if_exhausted();

}  // namespace zelweb
