// The plugin's diagnostic log: %TEMP%\quorvantaplugin.log, appended to only
// while that file exists and may be written, so logging is switched on by
// creating the file and off by deleting it. While it is off a call costs one
// access test and formats nothing.
#pragma once

#if defined(__GNUC__)
#define PLUGIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PLUGIN_PRINTF(fmt, args)
#endif

// Appends "YYYY-MM-DD HH:MM:SS.mmm Class::method() [file:line] message\n".
// `signature` is the compiler's pretty function signature; the qualified
// name is taken from it only when the line is written. Never fails.
void writeLog(const char *signature, const char *file, int line, const char *format, ...) noexcept
    PLUGIN_PRINTF(4, 5);
// The same line with an empty message.
void writeLogEntry(const char *signature, const char *file, int line) noexcept;

// The caller's own name, file and line.
#define PLUGIN_LOG(...) writeLog(__PRETTY_FUNCTION__, __FILE__, __LINE__, __VA_ARGS__)
#define PLUGIN_LOG_ENTRY() writeLogEntry(__PRETTY_FUNCTION__, __FILE__, __LINE__)
