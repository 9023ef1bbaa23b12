// The hash signer. Only a certificate that the selection dialog could offer
// for its key (one on a card) signs: a page that knows the id of any other
// certificate of the store, one with a key in software say, must not get a
// signature without a dialog, nor learn that the certificate is there. The
// digest's length chooses the algorithm; the kind of key (its dwKeySpec)
// chooses the path: CryptoAPI providers sign a hash object and write the
// signature little-endian, so it is reversed; CNG keys sign the digest
// directly and write it in the order page script expects. Every handle has an
// owner, so each is released on every path.
#include "cngcapisigner.h"

#include "cert_dialog_win.h"
#include "errors.h"
#include "hex.h"
#include "pluginlog.h"

#include <algorithm>
#include <cstring>

namespace {

struct DigestAlgorithm {
    std::size_t bytes;
    const wchar_t *cngName; // null: a PKCS#1 block without algorithm information
    ALG_ID cryptoApi;       // 0: CryptoAPI has no hash object for it
};

const DigestAlgorithm digestAlgorithms[] = {
    {20, L"SHA1", CALG_SHA1},
    {28, L"SHA224", 0},
    {32, L"SHA256", CALG_SHA_256},
    {36, nullptr, CALG_SSL3_SHAMD5},
    {48, L"SHA384", CALG_SHA_384},
    {64, L"SHA512", CALG_SHA_512},
};

const DigestAlgorithm *digestAlgorithm(std::size_t bytes)
{
    for (const DigestAlgorithm &algorithm : digestAlgorithms)
        if (algorithm.bytes == bytes) return &algorithm;
    return nullptr;
}

// A PIN prompt cancelled or a PIN blocked, as the key's provider reports it
// when the key is opened or when it signs: a Win32 code, its HRESULT, or a
// smart-card code.
void checkPinStatus(unsigned long status)
{
    switch (status) {
    case ERROR_CANCELLED:
    case static_cast<unsigned long>(HRESULT_FROM_WIN32(ERROR_CANCELLED)):
    case static_cast<unsigned long>(SCARD_W_CANCELLED_BY_USER):
        throw UserCancelledException("Signing was cancelled");
    case static_cast<unsigned long>(SCARD_W_CHV_BLOCKED):
        throw PinBlockedException();
    default:
        return;
    }
}

// The outcome of a signing call (`status` a CNG status, or the last error
// after a failed CryptSignHash) as the error kind page script sees. A failed
// call is a failure also when it gives no status.
void checkSigningStatus(bool signedHash, unsigned long status)
{
    if (signedHash) return;
    checkPinStatus(status);
    if (status == static_cast<unsigned long>(NTE_INVALID_HANDLE))
        throw TechnicalException("The supplied handle is invalid");
    throw TechnicalException("Signing failed");
}

bool sameBytes(PCCERT_CONTEXT certificate, const ByteVec &der)
{
    return certificate->cbCertEncoded == der.size() &&
           std::equal(der.begin(), der.end(), certificate->pbCertEncoded);
}

const char *outcome(bool success)
{
    return success ? "SUCCESS" : "FAILURE";
}

const std::size_t signatureCapacity = 1024;

} // namespace

CngCapiSigner::CngCapiSigner(const std::string &hash, const std::string &certId, const ByteVec &selected)
    : hash(hash), certId(certId), selected(selected)
{
}

std::string CngCapiSigner::sign()
{
    PLUGIN_LOG("Signing with hash: %s, with certId: %s", hash.c_str(), certId.c_str());
    ByteVec digest = fromHex(hash);
    PLUGIN_LOG("(digest.size() %i", int(digest.size()));
    const DigestAlgorithm *algorithm = digestAlgorithm(digest.size());
    if (!algorithm) throw InvalidHashException();

    CertificateKey key;
    BOOL gotKey = FALSE;
    bool isRsa = false;
    {
        CertStore store = openPersonalStore(0);
        CertContext certificate = findCertificateById(certId, store.get(), selected);
        gotKey = key.acquire(certificate.get(), CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG);
        isRsa = std::strcmp(certificate.get()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId,
                            "1.2.840.113549.1.1.1") == 0;
        PLUGIN_LOG("isRSA %d", isRsa ? 1 : 0);
    } // the certificate is freed and the store closed; the key stays valid
    PLUGIN_LOG("spec %i", int(key.spec()));
    PLUGIN_LOG("gotKey %d", int(gotKey));
    PLUGIN_LOG("freeKeyHandle %d", key.mustFree() ? 1 : 0);
    if (!gotKey) PLUGIN_LOG("CryptAcquireCertificatePrivateKey() failed: %lx", key.acquireStatus());

    ByteVec signature(signatureCapacity);
    bool signedHash = false;
    unsigned long status = 0;
    if (!gotKey) checkPinStatus(key.acquireStatus()); // else an incompatible key, below
    if (key.isCryptoApi()) {
        CryptHash hashObject;
        if (!algorithm->cryptoApi ||
            !CryptCreateHash(key.handle(), algorithm->cryptoApi, 0, 0, hashObject.put()))
            throw TechnicalException("CreateHash failed");
        if (!CryptSetHashParam(hashObject.get(), HP_HASHVAL, digest.data(), 0))
            throw TechnicalException("SetHashParam failed");
        DWORD size = DWORD(signature.size());
        signedHash = CryptSignHashW(hashObject.get(), key.spec(), nullptr, 0, signature.data(), &size) != FALSE;
        status = signedHash ? 0 : GetLastError();
        PLUGIN_LOG("CryptSignHash() return code: %u (%s) %x", unsigned(signedHash), outcome(signedHash),
                   unsigned(status));
        // The hash object belongs to the provider: destroyed first.
        hashObject.reset();
        key.free();
        PLUGIN_LOG("signature.size %d", int(size));
        signature.resize(std::min<std::size_t>(size, signatureCapacity));
        std::reverse(signature.begin(), signature.end());
    } else if (key.isCng()) {
        HWND window = GetForegroundWindow();
        const SECURITY_STATUS property =
            ncrypt::setProperty(key.handle(), NCRYPT_WINDOW_HANDLE_PROPERTY, reinterpret_cast<PBYTE>(&window),
                                sizeof window, NCRYPT_SILENT_FLAG);
        PLUGIN_LOG("NCryptSetProperty() return err:(%s) %x", outcome(property == 0), unsigned(property));
        BCRYPT_PKCS1_PADDING_INFO padding{algorithm->cngName};
        DWORD size = 0;
        status = static_cast<unsigned long>(
            ncrypt::signHash(key.handle(), isRsa ? &padding : nullptr, digest.data(), DWORD(digest.size()),
                             signature.data(), DWORD(signature.size()), &size, isRsa ? BCRYPT_PAD_PKCS1 : 0));
        signedHash = status == 0;
        PLUGIN_LOG("NCryptSignHash() return err:(%s) %x", outcome(signedHash), unsigned(status));
        signature.resize(std::min<std::size_t>(size, signatureCapacity));
        PLUGIN_LOG("signature.size %d", int(size));
        if (key.mustFree()) {
            const SECURITY_STATUS freed = key.free();
            PLUGIN_LOG("NCryptFreeObject() return err:(%s) %x", outcome(freed == 0), unsigned(freed));
        }
    } else {
        throw TechnicalException("Incompatible key");
    }
    checkSigningStatus(signedHash, status);
    return toHex(signature);
}

CertContext findCertificateById(const std::string &certId, HCERTSTORE store, const ByteVec &selected)
{
    const CertificateIdHasher hasher;
    CertContext first, current;
    while (PCCERT_CONTEXT next = CertEnumCertificatesInStore(store, current.detach())) {
        *current.put() = next;
        if (!certificateMatchesId(current.get(), certId, hasher)) continue;
        // The selection dialog's own test, without leaving its silent key
        // handle cached for the signing that follows.
        if (!isSmartCardCertificate(current.get(), false)) continue;
        if (selected.empty() || sameBytes(current.get(), selected)) return current;
        if (!first) *first.put() = CertDuplicateCertificateContext(current.get());
    }
    if (first) return first;
    throw NoCertificatesException();
}

bool certificateMatchesId(PCCERT_CONTEXT certificate, const std::string &certId, const CertificateIdHasher &hasher)
{
    const bool matches = hasher(certificate->pbCertEncoded, certificate->cbCertEncoded) == certId;
    PLUGIN_LOG("Cert match check result: %s", matches ? "matches" : "does not match");
    return matches;
}
