// The Windows log file: %TEMP%\quorvanta-chrome-extension.log, appended to in
// text mode (line ends become CR LF) only when it already exists and can be
// read. Without TEMP there is no log.
#include "logfile.h"

#include <cstdlib>
#include <string>

std::FILE *openLogFileForAppend()
{
    const char *temp = std::getenv("TEMP");
    if (!temp) return nullptr;
    // The name is appended directly, whatever TEMP ends with.
    const std::string path = std::string(temp) + "\\quorvanta-chrome-extension.log";

    std::FILE *probe = std::fopen(path.c_str(), "r");
    if (!probe) return nullptr;
    std::fclose(probe);
    return std::fopen(path.c_str(), "a");
}
