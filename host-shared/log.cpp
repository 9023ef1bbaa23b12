#include "log.h"
#include "logfile.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

std::string qualifiedFunctionName(const char *prettyFunction)
{
    // "ReturnType ns::Class::method(args) const" -> "ns::Class::method".
    // Template arguments and operator names are rare in logging code; the
    // scan keeps whatever stands between the last top-level space and the
    // parameter list.
    std::string text(prettyFunction);
    std::size_t paren = std::string::npos;
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth == 0) {
            paren = i;
            break;
        }
    }
    std::string head = paren == std::string::npos ? text : text.substr(0, paren);
    depth = 0;
    std::size_t start = 0;
    for (std::size_t i = head.size(); i-- > 0;) {
        char c = head[i];
        if (c == '>') ++depth;
        else if (c == '<') --depth;
        else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            start = i + 1;
            break;
        }
    }
    return head.substr(start);
}

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
