/* A PKCS#11 module that forwards every call to the module named by
 * QUORVANTA_FORWARD_MODULE (SoftHSM2 in the tests) and lets the length query
 * of C_Sign report 16 bytes more than the signature needs, as PKCS#11 allows:
 * the signing call itself then reports the real length. */
#include "pkcs11.h"

#include <dlfcn.h>
#include <stdlib.h>

static CK_FUNCTION_LIST functions;
static CK_C_Sign forwardSign;

static CK_RV paddedSign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length,
                        CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength)
{
    CK_RV rv = forwardSign(session, data, length, signature, signatureLength);
    if (rv == CKR_OK && !signature && signatureLength) *signatureLength += 16;
    return rv;
}

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (!list) return CKR_ARGUMENTS_BAD;
    if (!forwardSign) {
        const char *path = getenv("QUORVANTA_FORWARD_MODULE");
        void *library = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        CK_C_GetFunctionList get =
            library ? (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList") : NULL;
        CK_FUNCTION_LIST_PTR forward = NULL;
        if (!get || get(&forward) != CKR_OK || !forward) return CKR_GENERAL_ERROR;
        functions = *forward;
        forwardSign = functions.C_Sign;
        functions.C_Sign = paddedSign;
    }
    *list = &functions;
    return CKR_OK;
}
