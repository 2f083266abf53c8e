// Error reports for errors that cannot be passed to a caller.
#pragma once
#include <Python.h>

namespace zelweb {

// Adds a traceback entry named `function` to the pending exception.
void add_traceback(const char* function, const char* file, int line);

// Reports the pending exception twice and clears it: its full traceback as the
// interpreter prints an uncaught exception, then once more as an exception
// ignored in `context` (a dotted name such as "zelweb.http_t.c_text").
void report_ignored(const char* context);

}  // namespace zelweb

namespace zelweb {

// Writes a message through the interpreter's sys.stdout and flushes it, so it
// keeps its place among print()'s output and never waits in a buffer.
void print_message(const char* format, ...);

}  // namespace zelweb
