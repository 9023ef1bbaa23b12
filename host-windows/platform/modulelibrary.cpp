// Loads the PKCS#11 module on Windows by its bare file name. The current
// directory is taken out of the DLL search order first, so a module planted
// there by a web download cannot be picked up.
#include "modulelibrary.h"

#include <windows.h>

namespace {
HMODULE moduleHandle(void *handle) { return static_cast<HMODULE>(handle); }
}

ModuleLibrary::ModuleLibrary()
{
    SetDllDirectoryW(L"");
    handle = LoadLibraryA(fileName());
}

ModuleLibrary::~ModuleLibrary()
{
    if (handle && !kept) FreeLibrary(moduleHandle(handle));
}

void *ModuleLibrary::symbol(const char *name) const
{
    if (!handle) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(moduleHandle(handle), name));
}

const char *ModuleLibrary::fileName() { return "libquorvanta-module.dll"; }
