// The private-key owner and the CNG binding. CryptAcquireCertificatePrivateKey
// is called through crypt32's ordinary import; ncrypt.dll is bound once per
// process, from the system folder by its full path (a bare name would let the
// search order find a planted copy first, in the browser's own folder), and
// kept loaded.
#include "crypto_win.h"

#include <string>

namespace {

struct NcryptFunctions {
    decltype(&::NCryptSignHash) signHash = nullptr;
    decltype(&::NCryptSetProperty) setProperty = nullptr;
    decltype(&::NCryptGetProperty) getProperty = nullptr;
    decltype(&::NCryptFreeObject) freeObject = nullptr;
};

template <class Function>
void bind(HMODULE module, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

const NcryptFunctions &ncryptFunctions()
{
    static const NcryptFunctions functions = [] {
        NcryptFunctions bound;
        wchar_t folder[MAX_PATH];
        const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return bound;
        if (HMODULE module = LoadLibraryW((std::wstring(folder, length) + L"\\ncrypt.dll").c_str())) {
            bind(module, "NCryptSignHash", bound.signHash);
            bind(module, "NCryptSetProperty", bound.setProperty);
            bind(module, "NCryptGetProperty", bound.getProperty);
            bind(module, "NCryptFreeObject", bound.freeObject);
        }
        return bound;
    }();
    return functions;
}

} // namespace

namespace ncrypt {

SECURITY_STATUS signHash(NCRYPT_KEY_HANDLE key, void *paddingInfo, PBYTE hash, DWORD hashSize, PBYTE signature,
                         DWORD signatureSize, DWORD *written, DWORD flags)
{
    auto function = ncryptFunctions().signHash;
    return function ? function(key, paddingInfo, hash, hashSize, signature, signatureSize, written, flags)
                    : NTE_PROVIDER_DLL_FAIL;
}

SECURITY_STATUS setProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE value, DWORD size, DWORD flags)
{
    auto function = ncryptFunctions().setProperty;
    return function ? function(object, property, value, size, flags) : NTE_PROVIDER_DLL_FAIL;
}

SECURITY_STATUS getProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE value, DWORD size, DWORD *written,
                            DWORD flags)
{
    auto function = ncryptFunctions().getProperty;
    return function ? function(object, property, value, size, written, flags) : NTE_PROVIDER_DLL_FAIL;
}

SECURITY_STATUS freeObject(NCRYPT_HANDLE object)
{
    auto function = ncryptFunctions().freeObject;
    return function ? function(object) : NTE_PROVIDER_DLL_FAIL;
}

} // namespace ncrypt

BOOL CertificateKey::acquire(PCCERT_CONTEXT certificate, DWORD flags)
{
    free();
    BOOL acquired = CryptAcquireCertificatePrivateKey(certificate, flags, nullptr, &key, &keySpec, &callerFrees);
    failure = acquired ? 0 : GetLastError();
    if (!acquired) {
        key = 0;
        keySpec = 0;
        callerFrees = FALSE;
    }
    return acquired;
}

// Whatever dwKeySpec says, only a CNG key is an NCRYPT handle;
// every other handle is a CryptoAPI provider, also one of a kind the plugin
// cannot use.
SECURITY_STATUS CertificateKey::free()
{
    SECURITY_STATUS status = 0;
    if (key && callerFrees) {
        if (isCng())
            status = ncrypt::freeObject(key);
        else if (!CryptReleaseContext(key, 0))
            status = SECURITY_STATUS(GetLastError());
    }
    key = 0;
    callerFrees = FALSE;
    return status;
}
