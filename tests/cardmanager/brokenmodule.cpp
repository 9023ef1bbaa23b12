// Modules that load but cannot be used, for the module binding tests. Built
// twice: without a C_GetFunctionList export, and with a C_Initialize that
// fails.
// On Windows the build defines CRYPTOKI_EXPORTS, so the header declares the
// C_ functions exported.
#include "pkcs11.h"

#if defined(_WIN32)
#define MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(BROKEN_INITIALIZE)
namespace {

CK_RV failingInitialize(void *) { return CKR_DEVICE_ERROR; }

CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = failingInitialize;
    return list;
}();

} // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
#else
MODULE_EXPORT int brokenModuleWithoutFunctionList() { return 0; }
#endif
