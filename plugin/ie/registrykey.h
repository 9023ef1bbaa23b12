// An owned registry key handle.
#pragma once

#include <windows.h>

#include <utility>

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { if (key) RegCloseKey(key); }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;

    HKEY get() const { return key; }
    HKEY *put() { if (key) RegCloseKey(std::exchange(key, nullptr)); return &key; }

private:
    HKEY key = nullptr;
};
