// SIGINT and SIGTERM as a request to stop serving.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

struct StopRequest {
    int signals = 0;  // how many stop signals came
    int last = 0;     // the number of the last one
};

// While it lives, SIGINT and SIGTERM, handled in the main thread, count in
// `request` and raise the stop exception there, which ends any blocking call
// the main thread is in (an accept, a wait). Off the main thread nothing is
// installed. The previous handlers come back when it goes.
class StopSignals {
public:
    explicit StopSignals(StopRequest& request);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals();
    bool installed() const { return static_cast<bool>(signal_module_); }

private:
    Ref signal_module_, previous_int_, previous_term_;
    StopRequest* outer_;
};

// Whether the pending exception is the stop exception; it is cleared if so.
bool take_stop();

}  // namespace zelweb
