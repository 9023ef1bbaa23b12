// The request loop: read a frame, answer it, repeat until the input ends or a
// request ends the host. Returns the process exit code (always 1).
#pragma once

#include <cstdio>

int runHost(std::FILE *in, std::FILE *out);
