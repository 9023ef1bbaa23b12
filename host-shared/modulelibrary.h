// Platform seam: the PKCS#11 module, loaded by its bare file name so that the
// platform's library search order applies.
#pragma once

class ModuleLibrary {
public:
    // Loads the module; loaded() tells whether that worked.
    ModuleLibrary();
    // Unloads the module unless keep() was called.
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary &) = delete;
    ModuleLibrary &operator=(const ModuleLibrary &) = delete;

    bool loaded() const { return handle != nullptr; }
    // The exported symbol, or null.
    void *symbol(const char *name) const;
    // The module stays loaded until the process ends.
    void keep() { kept = true; }

    static const char *fileName();

private:
    void *handle = nullptr;
    bool kept = false;
};
