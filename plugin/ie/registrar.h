// Registration scripts: registry keys and values kept as text in the module's
// REGISTRY resources, applied forwards to register and backwards to
// unregister. The format is described at the top of script101.rgs.in.
#pragma once

#include <windows.h>

#include <string>

struct ScriptContext {
    std::wstring modulePath; // replaces %MODULE%
    std::wstring appId;      // replaces %APPID%
    bool perUser = false;    // HKCR keys go to HKCU\Software\Classes, HKLM keys are left out
};

// The root and path under which a HKCR path lands for this registration.
struct RegistryLocation {
    HKEY root;
    std::wstring path;
};
RegistryLocation classesLocation(const std::wstring &pathUnderClassesRoot, bool perUser);

// Applies a script; S_OK or the first failure. Registering stops at it,
// unregistering goes on with the rest. A key or value that is already gone
// counts as removed. Throws only std::bad_alloc.
HRESULT applyScript(const std::string &script, const ScriptContext &context, bool registering);

// The text of REGISTRY resource `id` of `module`; empty when missing.
std::string loadRegistryScript(HMODULE module, int id);
