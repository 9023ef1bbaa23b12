// Owners for the certificate store, certificate and CryptoAPI handles the
// plugin opens, the private key of a certificate as the system hands it out
// (a CryptoAPI provider or a CNG key), and the CNG key storage functions.
// ncrypt.dll is loaded on first use, so the plugin loads where it is missing.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include <utility>

// One owned handle; `Release` frees it, an empty handle is Handle{}.
template <class Handle, class Release>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle, Release releaser = Release()) : handle(handle), releaser(releaser) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    UniqueHandle(UniqueHandle &&other) noexcept
        : handle(std::exchange(other.handle, Handle{})), releaser(other.releaser) {}

    Handle get() const { return handle; }
    Handle *put() { reset(); return &handle; }
    explicit operator bool() const { return handle != Handle{}; }
    // Gives the handle up without releasing it.
    Handle detach() { return std::exchange(handle, Handle{}); }
    void reset()
    {
        if (handle != Handle{}) releaser(std::exchange(handle, Handle{}));
    }

private:
    Handle handle{};
    Release releaser;
};

struct CloseCertStore {
    DWORD flags = 0;
    void operator()(HCERTSTORE store) const { CertCloseStore(store, flags); }
};
struct FreeCertContext {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
struct ReleaseCryptProvider {
    void operator()(HCRYPTPROV provider) const { CryptReleaseContext(provider, 0); }
};
struct DestroyCryptHash {
    void operator()(HCRYPTHASH hash) const { CryptDestroyHash(hash); }
};

using CertStore = UniqueHandle<HCERTSTORE, CloseCertStore>;
using CertContext = UniqueHandle<PCCERT_CONTEXT, FreeCertContext>;
using CryptProvider = UniqueHandle<HCRYPTPROV, ReleaseCryptProvider>;
using CryptHash = UniqueHandle<HCRYPTHASH, DestroyCryptHash>;

// The CNG functions the plugin uses, from the system's ncrypt.dll. Without
// it (or one of them) each answers NTE_PROVIDER_DLL_FAIL.
namespace ncrypt {
SECURITY_STATUS signHash(NCRYPT_KEY_HANDLE key, void *paddingInfo, PBYTE hash, DWORD hashSize, PBYTE signature,
                         DWORD signatureSize, DWORD *written, DWORD flags);
SECURITY_STATUS setProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE value, DWORD size, DWORD flags);
SECURITY_STATUS getProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE value, DWORD size, DWORD *written,
                            DWORD flags);
SECURITY_STATUS freeObject(NCRYPT_HANDLE object);
} // namespace ncrypt

// A certificate's private key from CryptAcquireCertificatePrivateKey: a
// CryptoAPI provider (dwKeySpec AT_KEYEXCHANGE or AT_SIGNATURE) or a
// CNG key (CERT_NCRYPT_KEY_SPEC). It is freed only when the system says the
// caller must, and at the latest when the owner goes.
class CertificateKey {
public:
    CertificateKey() = default;
    ~CertificateKey() { free(); }
    CertificateKey(const CertificateKey &) = delete;
    CertificateKey &operator=(const CertificateKey &) = delete;

    // The system's answer; on failure dwKeySpec stays 0.
    BOOL acquire(PCCERT_CONTEXT certificate, DWORD flags);

    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle() const { return key; }
    DWORD spec() const { return keySpec; }
    // The last error of a failed acquisition (0 after a successful one).
    DWORD acquireStatus() const { return failure; }
    bool mustFree() const { return callerFrees != FALSE; }
    bool isCryptoApi() const { return keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE; }
    bool isCng() const { return keySpec == CERT_NCRYPT_KEY_SPEC; }

    // Frees the handle now if the caller must; the status of that release
    // (0 when there was nothing to free).
    SECURITY_STATUS free();

private:
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD keySpec = 0;
    BOOL callerFrees = FALSE;
    DWORD failure = 0;
};
