#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// The core's console trace. Every diagnostic line of the core ("<<  ", ">>  ",
// "[IO]: ", ...) goes through this one sink, standard output by default, so
// that a front end can move it to standard error or a log file, or drop it,
// and keep its own output clean.
namespace Trace {

using Sink = std::function<void(std::string_view)>;

// Replaces the sink. An empty function discards the trace.
void setSink(Sink sink);

// Convenience: write to a C stream (flushed after every piece); nullptr discards.
void setSinkFile(std::FILE* file);

// Restores the default sink (standard output).
void resetSink();

// printf-style formatting into the sink. Thread-safe; one call is never
// interleaved with another.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vprint(const char* format, std::va_list args);

// Writes text as it is.
void write(std::string_view text);

// False when the trace is being discarded, so that callers can skip
// building text nobody will read.
bool enabled();

}  // namespace Trace
