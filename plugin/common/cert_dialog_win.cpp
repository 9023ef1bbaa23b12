// The certificate filters and the selection dialog. The filters are called
// by the dialog, once per certificate of the store, so they catch everything
// and log under their own names.
#include "cert_dialog_win.h"

#include "errors.h"
#include "pluginlog.h"

#include <cstring>
#include <vector>

namespace {

// The first byte of the key-usage bits; all clear without the extension,
// also where the system leaves the buffer as it was.
BYTE keyUsage(PCCERT_CONTEXT certificate)
{
    BYTE usage = 0;
    CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate->pCertInfo, &usage, 1);
    return usage;
}

bool validNow(PCCERT_CONTEXT certificate)
{
    return CertVerifyTimeValidity(nullptr, certificate->pCertInfo) == 0;
}

bool hasClientAuthentication(PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0) return false;
    std::vector<BYTE> buffer(size);
    auto *usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size) || usage->cUsageIdentifier == 0) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CLIENT_AUTH) == 0) return true;
    }
    return false;
}

// The implementation type that a CNG key's provider reports; 0 when unknown.
DWORD cngImplementationType(NCRYPT_KEY_HANDLE key)
{
    NCRYPT_PROV_HANDLE provider = 0;
    DWORD written = 0;
    if (ncrypt::getProperty(key, NCRYPT_PROVIDER_HANDLE_PROPERTY, reinterpret_cast<PBYTE>(&provider),
                            sizeof provider, &written, 0) != 0 ||
        !provider)
        return 0;
    DWORD type = 0;
    if (ncrypt::getProperty(provider, NCRYPT_IMPL_TYPE_PROPERTY, reinterpret_cast<PBYTE>(&type), sizeof type,
                            &written, 0) != 0)
        type = 0;
    ncrypt::freeObject(provider);
    return type;
}

} // namespace

bool isValidForSigning(PCCERT_CONTEXT certificate)
{
    if (!(keyUsage(certificate) & CERT_NON_REPUDIATION_KEY_USAGE)) {
        PLUGIN_LOG("keyUsage & CERT_NON_REPUDIATION_KEY_USAGE: false");
        return false;
    }
    if (!validNow(certificate)) {
        PLUGIN_LOG("CertVerifyTimeValidity: false");
        return false;
    }
    PLUGIN_LOG("isValidForSigning: true");
    return true;
}

bool isValidForAuthentication(PCCERT_CONTEXT certificate)
{
    if (!(keyUsage(certificate) & CERT_DIGITAL_SIGNATURE_KEY_USAGE)) {
        PLUGIN_LOG("keyUsage & CERT_DIGITAL_SIGNATURE_KEY_USAGE: false");
        return false;
    }
    if (!validNow(certificate)) {
        PLUGIN_LOG("CertVerifyTimeValidity: false");
        return false;
    }
    if (!hasClientAuthentication(certificate)) {
        PLUGIN_LOG("isValidForAuthentication: false");
        return false;
    }
    PLUGIN_LOG("szOID_PKIX_KP_CLIENT_AUTH: true");
    return true;
}

int isSmartCardCertificate(PCCERT_CONTEXT certificate, bool cacheKey)
{
    CertificateKey key;
    DWORD type = 0;
    key.acquire(certificate, (cacheKey ? CRYPT_ACQUIRE_CACHE_FLAG : 0) | CRYPT_ACQUIRE_SILENT_FLAG |
                                 CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG);
    if (!key.handle()) {
        PLUGIN_LOG("Failed to CryptAcquireCertificatePrivateKey");
    } else if (key.isCryptoApi()) {
        DWORD size = sizeof type;
        if (!CryptGetProvParam(key.handle(), PP_IMPTYPE, reinterpret_cast<BYTE *>(&type), &size, 0)) type = 0;
    } else if (key.isCng()) {
        type = cngImplementationType(key.handle());
    }
    key.free();
    const int result = int(type & (CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE));
    PLUGIN_LOG("isSmartCardCertificate: %d", result);
    return result;
}

BOOL WINAPI signingCertificateFilter(PCCERT_CONTEXT certificate, BOOL *, void *)
{
    try {
        return isValidForSigning(certificate) && isSmartCardCertificate(certificate);
    } catch (...) {
        return FALSE; // nothing may leave a callback of the dialog
    }
}

BOOL WINAPI authenticationCertificateFilter(PCCERT_CONTEXT certificate, BOOL *, void *)
{
    try {
        return isValidForAuthentication(certificate) && isSmartCardCertificate(certificate);
    } catch (...) {
        return FALSE;
    }
}

CertStore openPersonalStore(DWORD closeFlags)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (!store) throw TechnicalException("Failed to open Cert Store");
    return CertStore(store, CloseCertStore{closeFlags});
}

CertContext showSelectionDialog(HCERTSTORE store, bool auth)
{
    int callbackData = 0; // the filters ignore it
    CRYPTUI_SELECTCERTIFICATE_STRUCTW request{};
    request.dwSize = sizeof request;
    request.pFilterCallback = auth ? authenticationCertificateFilter : signingCertificateFilter;
    request.pvCallbackData = &callbackData;
    request.cDisplayStores = 1;
    request.rghDisplayStores = &store;
    return CertContext(CryptUIDlgSelectCertificateW(&request));
}
