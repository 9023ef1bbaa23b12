// Writes the plugin's log lines. The path is worked out once per process;
// each call tests anew whether the file is there, because logging is switched
// by creating and deleting it. The file is opened for every line with no
// sharing restrictions, so several browser processes can append at once.
#include "pluginlog.h"

#include "functionname.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <memory>
#include <share.h>
#include <string>

namespace {

// "%TEMP%\quorvantaplugin.log"; empty (logging off) when TEMP is not set.
const std::string &logFilePath()
{
    static const std::string path = [] {
        const char *temp = std::getenv("TEMP");
        return temp && *temp ? std::string(temp) + "\\quorvantaplugin.log" : std::string();
    }();
    return path;
}

bool loggingOn()
{
    const std::string &path = logFilePath();
    return !path.empty() && _access(path.c_str(), 2) == 0;
}

// The last component of a source path, whichever separator it uses.
const char *baseName(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    return name;
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

void writeLine(const char *signature, const char *file, int line, const char *format, va_list args)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::unique_ptr<std::FILE, FileCloser> log(_fsopen(logFilePath().c_str(), "ab", _SH_DENYNO));
    if (!log) return;
    std::fprintf(log.get(), "%d-%02d-%02d %02d:%02d:%02d.%03d ", now.wYear, now.wMonth, now.wDay, now.wHour,
                 now.wMinute, now.wSecond, now.wMilliseconds);
    if (file)
        std::fprintf(log.get(), "%s() [%s:%i] ", qualifiedFunctionName(signature).c_str(), baseName(file), line);
    if (format) std::vfprintf(log.get(), format, args);
    std::fputc('\n', log.get());
}

} // namespace

// A lost line never disturbs the caller: nothing, not even working out the
// path on the first call, throws out of here.
void writeLog(const char *signature, const char *file, int line, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    try {
        if (loggingOn()) writeLine(signature, file, line, format, args);
    } catch (...) {
    }
    va_end(args);
}

void writeLogEntry(const char *signature, const char *file, int line) noexcept
{
    try {
        va_list none{};
        if (loggingOn()) writeLine(signature, file, line, nullptr, none);
    } catch (...) {
    }
}
