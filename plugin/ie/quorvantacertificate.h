// CQuorvantaCertificate: the certificate object handed to page script. It can
// be aggregated. Until a certificate has been selected its properties are
// empty texts.
#pragma once

#include "comsupport.h"
#include "quorvantapluginie.h"

class CQuorvantaCertificate final
    : public ComObject<CQuorvantaCertificate, TypeInfoDispatch<IQuorvantaCertificate, IID_IQuorvantaCertificate>> {
public:
    static const InterfaceEntry<CQuorvantaCertificate> interfaceTable[];

    HRESULT STDMETHODCALLTYPE get_id(BSTR *id) override;
    HRESULT STDMETHODCALLTYPE get_certificateAsHex(BSTR *certificate) override;
    HRESULT STDMETHODCALLTYPE get_cert(BSTR *certificate) override;
    HRESULT STDMETHODCALLTYPE select_certificate(long auth) override;
};
