// The Windows log file: %TEMP%\quorvanta-chrome-extension.log, appended to in
// text mode (line ends become CR LF) only when it already exists as a regular
// file with a single link that the user may read as well as write, so that a
// link planted in the temporary directory can never be written through.
// Without TEMP there is no log.
#include "logfile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <string>

namespace {

const wchar_t *const logName = L"quorvanta-chrome-extension.log";

// A file or folder handle, closed with this object unless given away.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : handle(h) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle()
    {
        if (valid()) CloseHandle(handle);
    }
    bool valid() const { return handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }
    void release() { handle = INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};

// The path the handle reaches, as the file system names it.
std::wstring finalPath(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, &path[0], DWORD(path.size()), 0);
        if (length == 0) return std::wstring();
        if (length < path.size()) return path.substr(0, length);
        path.resize(length);
    }
}

// Wine opens through a symbolic link made outside Windows without showing a
// reparse point; the file it reaches then has another name or folder than the
// one asked for.
bool isNamedAsAsked(HANDLE file, const std::wstring &folder)
{
    const FileHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return false;
    const std::wstring expected = finalPath(handle.get()) + L"\\" + logName;
    const std::wstring actual = finalPath(file);
    return !actual.empty()
           && CompareStringOrdinal(actual.c_str(), int(actual.size()), expected.c_str(), int(expected.size()), TRUE)
                  == CSTR_EQUAL;
}

} // namespace

std::FILE *openLogFileForAppend()
{
    const wchar_t *temp = _wgetenv(L"TEMP");
    if (!temp) return nullptr;
    // The name is appended directly, whatever TEMP ends with.
    const std::wstring folder = std::wstring(temp) + L"\\";
    const std::wstring path = folder + logName;

    // Reading and appending at once tests both in one step; a reparse point
    // is opened itself, not followed.
    FileHandle handle(CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle.get(), &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        || info.nNumberOfLinks != 1 || !isNamedAsAsked(handle.get(), folder))
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_APPEND | _O_TEXT);
    if (fd < 0) return nullptr;
    handle.release(); // the descriptor owns it now
    std::FILE *file = _fdopen(fd, "a");
    if (!file) _close(fd);
    return file;
}
