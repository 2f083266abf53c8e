// Reports of errors that cannot be passed to a caller, and messages on the
// interpreter's standard output.
#pragma once
#include <Python.h>

#include <cstddef>

#include "py/ref.hpp"

namespace zelweb {

// Adds a traceback entry named `function` (a dotted name such as
// "zelweb.start") to the pending exception.
void add_traceback(const char* function);

// Reports the pending exception twice and clears it: its full traceback, with
// an entry for `context`, as the interpreter prints an uncaught exception;
// then once more as an exception ignored in `context` (a dotted name such as
// "zelweb.http_t.c_text").
void report_ignored_in(const char* context);

// Writes a message through the interpreter's sys.stdout and flushes it, so it
// keeps its place among print()'s output and never waits in a buffer. A
// pending exception is kept.
void print_message(const char* format, ...);

// Writes a message through sys.stderr, as PySys_WriteStderr does but holding
// the stream while it writes. A pending exception is kept.
void print_error_line(const char* format, ...);

// sys.<name>, held; empty for a missing one or None.
Ref standard_stream(const char* name);

// bounded_copy's refusal "size of data must: <limit>", through print_message.
void report_overflow_through_stdout(size_t limit);

}  // namespace zelweb
