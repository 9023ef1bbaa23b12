// A test ncrypt.dll: the CNG key storage functions the plugin binds on first
// use, plus the two the test program opens keys with. Put into the Wine
// prefix's system folder by the test program (and WINEDLLOVERRIDES=ncrypt=n),
// it is what the system's ncrypt.dll stands for. A key is a key PEM of the fixture's key directory (keyfixture.h);
// the journal records every property set and every signing request (padding
// algorithm, flags, buffer size), signing is real (RSA PKCS#1 v1.5 with the
// DigestInfo of the named algorithm, none for a null name; ECDSA r||s without
// padding information), and the fixture chooses the signing status. Every
// export catches everything.
#include "keyfixture.h"

#include <bcrypt.h>
#include <ncrypt.h>

#include <new>

namespace {

using namespace keydouble;

const char fixtureVariable[] = "QUORVANTA_TEST_NCRYPT_FIXTURE";

struct Object {
    bool isKey;
    std::string container;
    Settings settings;
};

template <class Body>
SECURITY_STATUS boundary(Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return NTE_NO_MEMORY;
    } catch (...) {
        return NTE_INTERNAL_ERROR;
    }
}

std::string narrow(const wchar_t *text)
{
    std::string out;
    for (; text && *text; ++text) out += char(*text);
    return out;
}

} // namespace

extern "C" {

SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE *provider, LPCWSTR name, DWORD)
{
    return boundary([&] {
        Settings settings = readSettings(fixtureVariable, "");
        journal(settings, "NCryptOpenStorageProvider %s", narrow(name).c_str());
        *provider = reinterpret_cast<NCRYPT_PROV_HANDLE>(new Object{false, "", settings});
        return SECURITY_STATUS(ERROR_SUCCESS);
    });
}

SECURITY_STATUS WINAPI NCryptOpenKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE *key, LPCWSTR name, DWORD, DWORD flags)
{
    return boundary([&] {
        const std::string container = narrow(name);
        Settings settings = readSettings(fixtureVariable, container);
        SECURITY_STATUS status = SECURITY_STATUS(settings.acquireError);
        if (!status && !loadKey(settings, container)) status = NTE_BAD_KEYSET;
        if (!status && !(flags & NCRYPT_SILENT_FLAG)) status = SECURITY_STATUS(settings.pinError);
        journal(settings, "NCryptOpenKey %s %s", container.c_str(), outcome(DWORD(status)).c_str());
        if (!status) *key = reinterpret_cast<NCRYPT_KEY_HANDLE>(new Object{true, container, settings});
        return status;
    });
}

SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE handle)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Object *>(handle);
        if (!object) return NTE_INVALID_HANDLE;
        journal(object->settings, "NCryptFreeObject %s", object->isKey ? "key" : "provider");
        delete object;
        return SECURITY_STATUS(ERROR_SUCCESS);
    });
}

SECURITY_STATUS WINAPI NCryptSetProperty(NCRYPT_HANDLE handle, LPCWSTR property, PBYTE input, DWORD size,
                                         DWORD flags)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Object *>(handle);
        if (!object || !property) return NTE_INVALID_PARAMETER;
        journal(object->settings, "NCryptSetProperty %s size=%lu flags=%lX value=%s", narrow(property).c_str(), size,
                flags, input ? hex(input, size).c_str() : "");
        return SECURITY_STATUS(ERROR_SUCCESS);
    });
}

SECURITY_STATUS WINAPI NCryptGetProperty(NCRYPT_HANDLE handle, LPCWSTR property, PBYTE output, DWORD size,
                                         DWORD *result, DWORD)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Object *>(handle);
        if (!object || !property || !result) return NTE_INVALID_PARAMETER;
        const std::wstring name = property;
        journal(object->settings, "NCryptGetProperty %s", narrow(property).c_str());
        Bytes value;
        if (object->isKey && name == NCRYPT_PROVIDER_HANDLE_PROPERTY) {
            if (!output) { *result = sizeof(NCRYPT_PROV_HANDLE); return SECURITY_STATUS(ERROR_SUCCESS); }
            if (size < sizeof(NCRYPT_PROV_HANDLE)) return NTE_BUFFER_TOO_SMALL;
            journal(object->settings, "NCryptOpenStorageProvider (Provider Handle)");
            auto provider = reinterpret_cast<NCRYPT_PROV_HANDLE>(new Object{false, "", object->settings});
            std::memcpy(output, &provider, sizeof provider);
            *result = sizeof provider;
            return SECURITY_STATUS(ERROR_SUCCESS);
        }
        if (!object->isKey && name == NCRYPT_IMPL_TYPE_PROPERTY) {
            *result = sizeof(DWORD);
            if (!output) return SECURITY_STATUS(ERROR_SUCCESS);
            if (size < sizeof(DWORD)) return NTE_BUFFER_TOO_SMALL;
            std::memcpy(output, &object->settings.imptype, sizeof(DWORD));
            return SECURITY_STATUS(ERROR_SUCCESS);
        }
        return NTE_NOT_SUPPORTED;
    });
}

SECURITY_STATUS WINAPI NCryptSignHash(NCRYPT_KEY_HANDLE handle, VOID *padding, PBYTE hash, DWORD hashSize,
                                      PBYTE signature, DWORD signatureSize, DWORD *result, DWORD flags)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Object *>(handle);
        if (!object || !object->isKey || !result) return NTE_INVALID_HANDLE;
        const Settings &settings = object->settings;
        const wchar_t *algorithm = padding ? static_cast<BCRYPT_PKCS1_PADDING_INFO *>(padding)->pszAlgId : nullptr;
        SECURITY_STATUS status = SECURITY_STATUS(settings.signError);
        Bytes made;
        if (!status) {
            Pkey key = loadKey(settings, object->container);
            const bool rsa = key && EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA;
            bool known = false;
            Bytes data = digestInfo(algorithm ? algorithm : L"", &known);
            data.insert(data.end(), hash, hash + hashSize);
            if (!key) status = NTE_BAD_KEY;
            else if (rsa != (padding && flags == BCRYPT_PAD_PKCS1) || !known) status = NTE_INVALID_PARAMETER;
            else if ((made = sign(key.get(), rsa ? data : Bytes(hash, hash + hashSize))).empty()) status = NTE_FAIL;
            else if (signature && signatureSize < made.size()) status = NTE_BUFFER_TOO_SMALL;
        }
        journal(settings, "NCryptSignHash alg=%s padding=%s flags=%lX hash=%lu buffer=%lu %s",
                algorithm ? narrow(algorithm).c_str() : "null", padding ? "pkcs1" : "none", flags, hashSize,
                signatureSize, outcome(DWORD(status)).c_str());
        *result = DWORD(made.size());
        if (!status && signature) std::copy(made.begin(), made.end(), signature);
        return status;
    });
}

} // extern "C"
