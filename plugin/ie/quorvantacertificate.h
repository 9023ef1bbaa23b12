// CQuorvantaCertificate: the certificate object handed to page script. It
// lets the user pick a certificate once and then holds it as its DER bytes,
// its identifier and its hexadecimal text. It can be aggregated. Until a
// certificate has been selected its properties are empty texts.
#pragma once

#include "comsupport.h"
#include "hex.h"
#include "quorvantapluginie.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

// Answered only by this class's objects: the scripting object asks for it to
// reach readFromCertContext, whose failures are error kinds, rather than the
// COM method, which can only return an HRESULT. It is never registered.
extern const IID IID_QuorvantaCertificateObject;

class CQuorvantaCertificate final
    : public ComObject<CQuorvantaCertificate, TypeInfoDispatch<IQuorvantaCertificate, IID_IQuorvantaCertificate>> {
public:
    static const InterfaceEntry<CQuorvantaCertificate> interfaceTable[];

    HRESULT STDMETHODCALLTYPE get_id(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE get_certificateAsHex(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE get_cert(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE select_certificate(long auth) override;

    // Shows the selection dialog for signing or, with `auth`, for
    // authentication and takes the chosen certificate. Fails with the error
    // kinds of the selection, or TechnicalException when the identifier
    // cannot be computed; a failure leaves the object as it was.
    void readFromCertContext(bool auth);

private:
    ByteVec loadCertContexts(PCCERT_CONTEXT certificate);
    std::string calculateMD5Hash(const ByteVec &buffer);
    std::string binCert2Hex(PCCERT_CONTEXT certificate);

    ByteVec der;                 // the DER encoding followed by one zero byte
    std::string id;              // 32 lower-case hexadecimal digits
    std::string certificateText; // the DER encoding in upper-case hexadecimal
};
