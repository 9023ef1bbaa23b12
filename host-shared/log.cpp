#include "log.h"
#include "functionname.h"
#include "logfile.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

void writeLine(std::FILE *log, const char *function, const char *file, int line,
               const char *format, va_list args)
{
    std::time_t now = std::time(nullptr);
    const std::tm *local = std::localtime(&now);
    if (local) {
        std::fprintf(log, "%i-%.2i-%.2i %.2i:%.2i:%.2i ", local->tm_year + 1900, local->tm_mon + 1,
                     local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
    }
    std::fprintf(log, "%s() [%s:%i] ", function, file, line);
    std::vfprintf(log, format, args);
    std::fputs("\n", log);
    std::fclose(log);
}

} // namespace

void writeLog(const char *function, const char *file, int line, const char *format, ...)
{
    std::FILE *log = openLogFileForAppend();
    if (!log) return;
    va_list args;
    va_start(args, format);
    writeLine(log, function, file, line, format, args);
    va_end(args);
}

void writeLogFromSignature(const char *prettyFunction, const char *file, int line,
                           const char *format, ...)
{
    std::FILE *log = openLogFileForAppend();
    if (!log) return;
    const std::string function = qualifiedFunctionName(prettyFunction);
    va_list args;
    va_start(args, format);
    writeLine(log, function.c_str(), file, line, format, args);
    va_end(args);
}
