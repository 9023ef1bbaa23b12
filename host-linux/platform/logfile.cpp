// The Linux log file: quorvanta-chrome-extension.log in $TEMP, else $TMPDIR,
// else /tmp. It is only appended to when it already exists as a regular file
// owned by the current user with no other name, so a symbolic or hard link or
// someone else's file in a shared temporary directory can never be written
// through (a hard link planted there may name any of the user's files), and
// when the user may read it as well as write it: a file that cannot be read
// switches logging off, as on Windows.
#include "logfile.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::FILE *openLogFileForAppend()
{
    const char *dir = std::getenv("TEMP");
    if (!dir || !*dir) dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    const std::string path = std::string(dir) + "/quorvanta-chrome-extension.log";

    // Opening for reading and writing at once tests both in one step.
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        return nullptr;
    }
    std::FILE *file = fdopen(fd, "a");
    if (!file) close(fd);
    return file;
}
