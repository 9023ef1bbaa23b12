// A small owner for Windows registry keys and the error it raises. A
// RegistryKey holds at most one open key and closes it on every path; the
// predefined root keys (HKEY_CURRENT_USER and the like) are never closed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>

namespace winreg {

// A failed registry call: the Windows error code in the system category, and
// a description "message: <the system's text for the code>".
class RegException : public std::system_error {
public:
    RegException(LSTATUS code, const std::string &message);
    const char *what() const noexcept override { return description.c_str(); }

private:
    std::string description;
};

class RegistryKey {
public:
    RegistryKey() = default;
    // Takes ownership of an open key (a predefined root key is only borrowed).
    explicit RegistryKey(HKEY key) : key(key) {}
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;
    RegistryKey(RegistryKey &&other) noexcept;
    RegistryKey &operator=(RegistryKey &&other) noexcept;

    // Creates the key if it does not exist and opens it; the key held before
    // is closed only once the new one is open. Throws RegException.
    void create(HKEY root, const std::wstring &path, REGSAM access);
    // Opens an existing key, with the same hand-over. Throws RegException.
    void open(HKEY root, const std::wstring &path, REGSAM access);

    // Reads a REG_QWORD value. False for any failure: no such value, a value
    // of another type, no key held, no access.
    bool tryGetQword(const std::wstring &name, std::uint64_t &value) const;
    // Writes a REG_QWORD value, replacing a value of that name of any type.
    // Throws RegException.
    void setQword(const std::wstring &name, std::uint64_t value);

    void close() noexcept;

    bool isOpen() const { return key != nullptr; }
    HKEY handle() const { return key; }

    static bool isPredefined(HKEY key);

private:
    void replace(HKEY fresh) noexcept;

    HKEY key = nullptr;
};

} // namespace winreg
