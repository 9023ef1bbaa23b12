// Module loading for the module tests: dlopen on Linux, LoadLibraryA on
// Windows, both by bare file name.
#include "moduleloader.h"

#include <cstdlib>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace testtoken {

#if defined(_WIN32)
const char *moduleFileName() { return "libquorvanta-module.dll"; }

static void *openModule() { return reinterpret_cast<void *>(LoadLibraryA(moduleFileName())); }
static void *findSymbol(void *module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void setEnvironment(const std::string &name, const std::string &value)
{
    _putenv_s(name.c_str(), value.c_str());
}
#else
const char *moduleFileName() { return "libquorvanta-module.so"; }

static void *openModule() { return dlopen(moduleFileName(), RTLD_NOW | RTLD_LOCAL); }
static void *findSymbol(void *module, const char *name) { return dlsym(module, name); }

void setEnvironment(const std::string &name, const std::string &value)
{
    setenv(name.c_str(), value.c_str(), 1);
}
#endif

CK_FUNCTION_LIST *loadModule()
{
    static CK_FUNCTION_LIST *functions = nullptr;
    if (functions)
        return functions;
    void *module = openModule();
    if (!module)
        throw std::runtime_error(std::string("cannot load ") + moduleFileName());
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(findSymbol(module, "C_GetFunctionList"));
    if (!getFunctionList)
        throw std::runtime_error("no C_GetFunctionList");
    CK_FUNCTION_LIST *list = nullptr;
    if (getFunctionList(&list) != CKR_OK || !list)
        throw std::runtime_error("C_GetFunctionList failed");
    functions = list;
    return functions;
}

} // namespace testtoken
