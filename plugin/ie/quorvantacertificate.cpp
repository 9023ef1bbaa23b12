// The certificate object's methods. The selection, the identifier and the
// hexadecimal text are all worked out before any member changes, so a failed
// selection leaves the previous certificate in place. Called directly by
// script, select_certificate reports a failure like the scripting object
// does: error information with the message, and DISP_E_EXCEPTION.
#include "quorvantacertificate.h"

#include "cert_dialog_win.h"
#include "certificateid.h"
#include "errors.h"
#include "errorstate.h"
#include "pluginlog.h"
#include "text.h"

#include <cstdint>

// {C5311F69-7E0B-4E54-8B14-1ABDAFC3F5BB}
const IID IID_QuorvantaCertificateObject = {
    0xc5311f69, 0x7e0b, 0x4e54, {0x8b, 0x14, 0x1a, 0xbd, 0xaf, 0xc3, 0xf5, 0xbb}};

const InterfaceEntry<CQuorvantaCertificate> CQuorvantaCertificate::interfaceTable[] = {
    {&IID_IQuorvantaCertificate, &interfaceOf<CQuorvantaCertificate, IQuorvantaCertificate>},
    {&IID_IDispatch, &interfaceOf<CQuorvantaCertificate, IQuorvantaCertificate>},
    {&IID_QuorvantaCertificateObject, &interfaceOf<CQuorvantaCertificate, IQuorvantaCertificate>},
    {nullptr, nullptr},
};

namespace {

// The log shows a store handle in eight hexadecimal digits.
unsigned storeForLog(HCERTSTORE store)
{
    return unsigned(reinterpret_cast<std::uintptr_t>(store));
}

} // namespace

HRESULT CQuorvantaCertificate::get_id(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(widen(id), result); });
}

HRESULT CQuorvantaCertificate::get_certificateAsHex(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(widen(certificateText), result); });
}

HRESULT CQuorvantaCertificate::get_cert(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(widen(certificateText), result); });
}

HRESULT CQuorvantaCertificate::select_certificate(long auth)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] {
        try {
            readFromCertContext(auth != 0);
            return S_OK;
        } catch (const BaseException &e) {
            PLUGIN_LOG("Exception caught when selecting certificate: %s: %s", e.getErrorCode().c_str(),
                       e.getErrorMessage().c_str());
            return reportFailure(e.getErrorMessage());
        }
    });
}

void CQuorvantaCertificate::readFromCertContext(bool auth)
{
    PLUGIN_LOG_ENTRY();
    CertStore store = openPersonalStore(CERT_CLOSE_STORE_FORCE_FLAG);
    PLUGIN_LOG("Pointer to CERT_STORE 0x%08X", storeForLog(store.get()));
    CertContext chosen = showSelectionDialog(store.get(), auth);
    if (!chosen) {
        PLUGIN_LOG("User didn't select sertificate");
        throw UserCancelledException();
    }

    ByteVec buffer = loadCertContexts(chosen.get());
    std::string newId = calculateMD5Hash(buffer);
    std::string newText = binCert2Hex(chosen.get());
    der = std::move(buffer);
    id = std::move(newId);
    certificateText = std::move(newText);

    chosen.reset();
    PLUGIN_LOG("Pointer to CERT_STORE 0x%08X", storeForLog(store.get()));
    store.reset();
}

// The DER bytes with a zero byte after them, so the identifier's digest,
// which reads up to the first zero byte, always finds an end.
ByteVec CQuorvantaCertificate::loadCertContexts(PCCERT_CONTEXT certificate)
{
    PLUGIN_LOG_ENTRY();
    ByteVec buffer(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    buffer.push_back(0);
    PLUGIN_LOG("certificate binary length = %i", int(certificate->cbCertEncoded));
    return buffer;
}

std::string CQuorvantaCertificate::calculateMD5Hash(const ByteVec &buffer)
{
    PLUGIN_LOG_ENTRY();
    std::string md5 = certificateId(buffer.data(), buffer.size());
    PLUGIN_LOG("Certificate ID (MD5 hash) is %s", md5.c_str());
    return md5;
}

std::string CQuorvantaCertificate::binCert2Hex(PCCERT_CONTEXT certificate)
{
    PLUGIN_LOG_ENTRY();
    return toHex(ByteVec(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded));
}
