// Entry point of the Linux host. Standard output carries the frames alone: the
// process's own standard output is pointed at standard error, so that a
// PKCS#11 module that prints cannot corrupt a response.
#include "hostloop.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main()
{
    // A browser that closes the pipe must not kill the host mid-write; the
    // next read then meets end of input and the host ends normally.
    std::signal(SIGPIPE, SIG_IGN);

    const int framesFd = dup(STDOUT_FILENO);
    std::FILE *frames = framesFd >= 0 ? fdopen(framesFd, "wb") : nullptr;
    if (!frames) return 1;
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);

    return runHost(stdin, frames);
}
