// CQuorvantaIEPluginBHO: the object page script talks to. The browser gives
// it its site, through which the object finds the top-level browser and so
// the page address; certificate and signing calls are allowed only on pages
// whose address begins with "https://".
#pragma once

#include "comsupport.h"
#include "errorstate.h"
#include "hex.h"
#include "quorvantapluginie.h"

#include <exdisp.h>
#include <ocidl.h>

#include <string>

class CQuorvantaIEPluginBHO final
    : public ComObject<CQuorvantaIEPluginBHO,
                       TypeInfoDispatch<IQuorvantaIEPluginBHO, IID_IQuorvantaIEPluginBHO>, IObjectWithSite> {
public:
    static const InterfaceEntry<CQuorvantaIEPluginBHO> interfaceTable[];

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown *site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID iid, void **out) override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS *params,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argError) override;

    // IQuorvantaIEPluginBHO
    HRESULT STDMETHODCALLTYPE get_version(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE get_errorMessage(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE get_errorCode(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE get_pluginLanguage(BSTR *result) override;
    HRESULT STDMETHODCALLTYPE put_pluginLanguage(BSTR language) override;
    HRESULT STDMETHODCALLTYPE getCertificate(IDispatch **result) override;
    HRESULT STDMETHODCALLTYPE getCertificateWithOperation(BSTR operation, IDispatch **result) override;
    HRESULT STDMETHODCALLTYPE sign(BSTR id, BSTR hash, BSTR language, BSTR *signature) override;
    HRESULT STDMETHODCALLTYPE signWithOperation(BSTR id, BSTR hash, BSTR language, BSTR operation,
                                                BSTR *signature) override;

private:
    bool isSiteAllowed();

    ComPtr<IUnknown> site;
    ComPtr<IWebBrowser2> webBrowser;
    ComPtr<IQuorvantaCertificate> certificate; // created by the last certificate call
    ByteVec selectedCertificate;                // DER of the last certificate selected
    std::wstring language;
    ErrorState errors;
};
