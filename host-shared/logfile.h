// Platform seam: where the log file is, and whether it may be appended to.
#pragma once

#include <cstdio>

// Opens the existing log file for appending in text mode, or returns null when
// logging is off (no such file, not readable, or not safe to write). Never
// creates the file.
std::FILE *openLogFileForAppend();
