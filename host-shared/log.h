// The host's diagnostic log: one line per call, appended to the log file when
// that file already exists. Switched on by creating the file, off by deleting it.
#pragma once

#include "functionname.h"

#include <string>

#if defined(__GNUC__)
#define QUORVANTA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUORVANTA_PRINTF(fmt, args)
#endif

// Writes "YYYY-MM-DD HH:MM:SS function() [file:line] message\n". Never fails.
void writeLog(const char *function, const char *file, int line, const char *format, ...)
    QUORVANTA_PRINTF(4, 5);

// The same, with the function field taken from a compiler's pretty function
// signature ("ReturnType ns::Class::method(args)" gives "ns::Class::method").
// The name is worked out only when the log file is there.
void writeLogFromSignature(const char *prettyFunction, const char *file, int line,
                           const char *format, ...) QUORVANTA_PRINTF(4, 5);

// A log call that reads like printf and carries the caller's qualified name,
// source file and line.
#define QLOG(...) writeLogFromSignature(__PRETTY_FUNCTION__, __FILE__, __LINE__, __VA_ARGS__)
