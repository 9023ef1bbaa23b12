// A CryptoAPI key provider (CSP) that stands for a smart card in the plugin's
// tests. advapi32 loads it through its registration under
// HKLM\Software\Microsoft\Cryptography\Defaults\Provider. A container is a key
// PEM of the fixture's key directory (keyfixture.h); the provider reports the
// fixture's implementation type (hardware and removable by default) and signs
// for real: PKCS#1 v1.5 over the hash value set with HP_HASHVAL, with the
// DigestInfo of the hash algorithm (none for CALG_SSL3_SHAMD5), written
// little-endian as CryptSignHash's providers write it. The fixture makes it
// fail the way cards fail. Every export catches everything.
#include "keyfixture.h"

#include <wincrypt.h>

#include <new>

namespace {

using namespace keydouble;

const char fixtureVariable[] = "QUORVANTA_TEST_CSP_FIXTURE";

struct Context {
    std::string container;
    Settings settings;
};

struct Hash {
    ALG_ID algorithm;
    Bytes value;
};

const struct { ALG_ID algorithm; DWORD size; const wchar_t *digest; } hashTable[] = {
    {CALG_SHA1, 20, L"SHA1"},       {CALG_SHA_256, 32, L"SHA256"}, {CALG_SHA_384, 48, L"SHA384"},
    {CALG_SHA_512, 64, L"SHA512"},  {CALG_SSL3_SHAMD5, 36, L""},
};

template <class Body>
BOOL boundary(Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        SetLastError(NTE_FAIL);
        return FALSE;
    }
}

BOOL fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

} // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV *provider, LPSTR container, DWORD flags, void *)
{
    return boundary([&] {
        const std::string name = container ? container : "";
        Settings settings = readSettings(fixtureVariable, name);
        DWORD error = settings.acquireError;
        if (!error && !(flags & CRYPT_VERIFYCONTEXT) && !loadKey(settings, name)) error = DWORD(NTE_BAD_KEYSET);
        if (!error && !(flags & CRYPT_SILENT)) error = settings.pinError;
        journal(settings, "CPAcquireContext %s flags=%lX %s", name.c_str(), flags, outcome(error).c_str());
        if (error) return fail(error);
        *provider = reinterpret_cast<HCRYPTPROV>(new Context{name, settings});
        return TRUE;
    });
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV provider, DWORD)
{
    return boundary([&] {
        auto *context = reinterpret_cast<Context *>(provider);
        journal(context->settings, "CPReleaseContext %s", context->container.c_str());
        delete context;
        return TRUE;
    });
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV provider, DWORD parameter, BYTE *data, DWORD *size, DWORD)
{
    return boundary([&] {
        auto *context = reinterpret_cast<Context *>(provider);
        if (parameter != PP_IMPTYPE) return fail(DWORD(NTE_BAD_TYPE));
        journal(context->settings, "CPGetProvParam PP_IMPTYPE %lu", context->settings.imptype);
        if (data && *size < sizeof(DWORD)) return *size = sizeof(DWORD), fail(ERROR_MORE_DATA);
        if (data) std::memcpy(data, &context->settings.imptype, sizeof(DWORD));
        *size = sizeof(DWORD);
        return TRUE;
    });
}

BOOL WINAPI CPCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY, DWORD, HCRYPTHASH *hash)
{
    return boundary([&] {
        auto *context = reinterpret_cast<Context *>(provider);
        for (const auto &row : hashTable) {
            if (row.algorithm == algorithm) {
                journal(context->settings, "CPCreateHash alg=%X ok", algorithm);
                *hash = reinterpret_cast<HCRYPTHASH>(new Hash{algorithm, Bytes()});
                return TRUE;
            }
        }
        journal(context->settings, "CPCreateHash alg=%X %s", algorithm, outcome(DWORD(NTE_BAD_ALGID)).c_str());
        return fail(DWORD(NTE_BAD_ALGID));
    });
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV, HCRYPTHASH hash, DWORD parameter, const BYTE *data, DWORD)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Hash *>(hash);
        if (parameter != HP_HASHVAL || !data) return fail(DWORD(NTE_BAD_TYPE));
        for (const auto &row : hashTable)
            if (row.algorithm == object->algorithm) object->value.assign(data, data + row.size);
        return TRUE;
    });
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV, HCRYPTHASH hash, DWORD parameter, BYTE *data, DWORD *size, DWORD)
{
    return boundary([&] {
        auto *object = reinterpret_cast<Hash *>(hash);
        DWORD value = 0;
        if (parameter == HP_ALGID) value = object->algorithm;
        else if (parameter == HP_HASHSIZE) value = DWORD(object->value.size());
        else return fail(DWORD(NTE_BAD_TYPE));
        if (data && *size < sizeof value) return *size = sizeof value, fail(ERROR_MORE_DATA);
        if (data) std::memcpy(data, &value, sizeof value);
        *size = sizeof value;
        return TRUE;
    });
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV provider, HCRYPTHASH hash)
{
    return boundary([&] {
        journal(reinterpret_cast<Context *>(provider)->settings, "CPDestroyHash");
        delete reinterpret_cast<Hash *>(hash);
        return TRUE;
    });
}

BOOL WINAPI CPSignHash(HCRYPTPROV provider, HCRYPTHASH hash, DWORD keySpec, LPCWSTR, DWORD, BYTE *signature,
                       DWORD *size)
{
    return boundary([&] {
        auto *context = reinterpret_cast<Context *>(provider);
        auto *object = reinterpret_cast<Hash *>(hash);
        const Settings &settings = context->settings;
        DWORD error = settings.signError;
        Bytes result;
        if (!settings.signFails) {
            Pkey key = loadKey(settings, context->container);
            Bytes data;
            for (const auto &row : hashTable)
                if (row.algorithm == object->algorithm) data = digestInfo(row.digest);
            data.insert(data.end(), object->value.begin(), object->value.end());
            if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) error = DWORD(NTE_BAD_KEY);
            else if ((result = sign(key.get(), data)).empty()) error = DWORD(NTE_FAIL);
        }
        if (!error && signature && *size < result.size()) error = ERROR_MORE_DATA;
        journal(settings, "CPSignHash keyspec=%lu alg=%X hash=%s %s", keySpec, object->algorithm,
                hex(object->value.data(), object->value.size()).c_str(), outcome(error, settings.signFails).c_str());
        if (settings.signFails && !error) return fail(0); // a failure that gives no reason
        if (error) return *size = DWORD(result.size()), fail(error);
        if (signature) std::copy(result.rbegin(), result.rend(), signature); // little-endian
        *size = DWORD(result.size());
        return TRUE;
    });
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV, DWORD keySpec, HCRYPTKEY *key)
{
    *key = keySpec;
    return TRUE;
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV, HCRYPTKEY) { return TRUE; }

// advapi32 needs every entry point; the plugin uses none of these.
#define UNSUPPORTED(name, ...) \
    BOOL WINAPI name(__VA_ARGS__) { return fail(DWORD(NTE_NOT_SUPPORTED)); }
UNSUPPORTED(CPDecrypt, HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE *, DWORD *)
UNSUPPORTED(CPDeriveKey, HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY *)
UNSUPPORTED(CPDuplicateHash, HCRYPTPROV, HCRYPTHASH, DWORD *, DWORD, HCRYPTHASH *)
UNSUPPORTED(CPDuplicateKey, HCRYPTPROV, HCRYPTKEY, DWORD *, DWORD, HCRYPTKEY *)
UNSUPPORTED(CPEncrypt, HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE *, DWORD *, DWORD)
UNSUPPORTED(CPExportKey, HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE *, DWORD *)
UNSUPPORTED(CPGenKey, HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY *)
UNSUPPORTED(CPGenRandom, HCRYPTPROV, DWORD, BYTE *)
UNSUPPORTED(CPGetKeyParam, HCRYPTPROV, HCRYPTKEY, DWORD, BYTE *, DWORD *, DWORD)
UNSUPPORTED(CPHashData, HCRYPTPROV, HCRYPTHASH, const BYTE *, DWORD, DWORD)
UNSUPPORTED(CPHashSessionKey, HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD)
UNSUPPORTED(CPImportKey, HCRYPTPROV, const BYTE *, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY *)
UNSUPPORTED(CPSetKeyParam, HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE *, DWORD)
UNSUPPORTED(CPSetProvParam, HCRYPTPROV, DWORD, const BYTE *, DWORD)
UNSUPPORTED(CPVerifySignature, HCRYPTPROV, HCRYPTHASH, const BYTE *, DWORD, HCRYPTKEY, LPCWSTR, DWORD)

} // extern "C"
