// Entry point of the Windows host. Both standard streams are switched to
// binary mode before anything is read or written, and standard output carries
// the frames alone: the process's own standard output is pointed at standard
// error, so that a PKCS#11 module that prints cannot corrupt a response.
#include "hostloop.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    const int framesFd = _dup(_fileno(stdout));
    std::FILE *frames = framesFd >= 0 ? _fdopen(framesFd, "wb") : nullptr;
    if (!frames) return 1;
    _setmode(framesFd, _O_BINARY);
    std::fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));

    return runHost(stdin, frames);
}
