// The registry key owner and its error: every Windows call is checked once
// here, and every failure carries the call's own message.
#include "registrykey.h"

#include "utf.h"

#include <utility>

namespace winreg {

namespace {

// The system's text for a Windows error code, without the trailing line end.
std::string systemText(LSTATUS code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::u16string text;
    if (length && buffer) text.assign(buffer, buffer + length);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    if (text.empty()) return "error " + std::to_string(static_cast<unsigned long>(code));
    return utf16ToUtf8(text);
}

} // namespace

RegException::RegException(LSTATUS code, const std::string &message)
    : std::system_error(static_cast<int>(code), std::system_category(), message),
      description(message + ": " + systemText(code))
{
}

RegistryKey::RegistryKey(RegistryKey &&other) noexcept : key(std::exchange(other.key, nullptr)) {}

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept
{
    if (this != &other) replace(std::exchange(other.key, nullptr));
    return *this;
}

bool RegistryKey::isPredefined(HKEY candidate)
{
    static const HKEY predefined[] = {
        HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
        HKEY_PERFORMANCE_DATA, HKEY_PERFORMANCE_TEXT, HKEY_PERFORMANCE_NLSTEXT,
        HKEY_CURRENT_CONFIG, HKEY_DYN_DATA, HKEY_CURRENT_USER_LOCAL_SETTINGS,
    };
    for (HKEY root : predefined)
        if (candidate == root) return true;
    return false;
}

void RegistryKey::replace(HKEY fresh) noexcept
{
    close();
    key = fresh;
}

void RegistryKey::create(HKEY root, const std::wstring &path, REGSAM access)
{
    HKEY fresh = nullptr;
    const LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, &fresh, nullptr);
    if (status != ERROR_SUCCESS) throw RegException(status, "RegCreateKeyExW failed.");
    replace(fresh);
}

void RegistryKey::open(HKEY root, const std::wstring &path, REGSAM access)
{
    HKEY fresh = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, access, &fresh);
    if (status != ERROR_SUCCESS) throw RegException(status, "RegOpenKeyExW failed.");
    replace(fresh);
}

bool RegistryKey::tryGetQword(const std::wstring &name, std::uint64_t &value) const
{
    if (!key) return false;
    std::uint64_t data = 0;
    DWORD size = sizeof data;
    // REG_QWORD only: RRF_RT_QWORD would also admit eight bytes of REG_BINARY.
    const LSTATUS status = RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_QWORD, nullptr, &data, &size);
    if (status != ERROR_SUCCESS || size != sizeof data) return false;
    value = data;
    return true;
}

void RegistryKey::setQword(const std::wstring &name, std::uint64_t value)
{
    // Without a key the call fails with the system's invalid-handle error.
    const LSTATUS status = RegSetValueExW(key, name.c_str(), 0, REG_QWORD,
                                          reinterpret_cast<const BYTE *>(&value), sizeof value);
    if (status != ERROR_SUCCESS)
        throw RegException(status, "Cannot write QWORD value: RegSetValueExW failed.");
}

void RegistryKey::close() noexcept
{
    if (key && !isPredefined(key)) RegCloseKey(key);
    key = nullptr;
}

} // namespace winreg
