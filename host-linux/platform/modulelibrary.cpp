// Loading the PKCS#11 module on Linux: dlopen by bare file name, so the
// loader's search path (LD_LIBRARY_PATH, the cache, the system directories)
// decides which library is used.
#include "modulelibrary.h"

#include "log.h"

#include <dlfcn.h>

ModuleLibrary::ModuleLibrary() : handle(dlopen(fileName(), RTLD_NOW | RTLD_LOCAL))
{
    if (!handle) {
        const char *reason = dlerror();
        QLOG("Could not load %s: %s", fileName(), reason ? reason : "unknown reason");
    }
}

ModuleLibrary::~ModuleLibrary()
{
    if (handle && !kept) dlclose(handle);
}

void *ModuleLibrary::symbol(const char *name) const
{
    return handle ? dlsym(handle, name) : nullptr;
}

const char *ModuleLibrary::fileName()
{
    return "libquorvanta-module.so";
}
