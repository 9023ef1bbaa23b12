// The scripting object's methods. Each logs its entry, runs inside
// comBoundary so that nothing is thrown back to the script engine, and reports
// a refused or failed call through the error state, which the script engine
// turns into an exception carrying the error message.
#include "quorvantaiepluginbho.h"

#include "pluginlog.h"
#include "text.h"

#include <servprov.h>
#include <shlguid.h>

namespace {

const wchar_t pluginVersion[] = L"2.3.9 64bit";

// Only "auth", exactly, selects authentication; everything else signs.
bool isAuthOperation(BSTR operation)
{
    return bstrText(operation) == L"auth";
}

} // namespace

const InterfaceEntry<CQuorvantaIEPluginBHO> CQuorvantaIEPluginBHO::interfaceTable[] = {
    {&IID_IQuorvantaIEPluginBHO, &interfaceOf<CQuorvantaIEPluginBHO, IQuorvantaIEPluginBHO>},
    {&IID_IDispatch, &interfaceOf<CQuorvantaIEPluginBHO, IQuorvantaIEPluginBHO>},
    {&IID_IObjectWithSite, &interfaceOf<CQuorvantaIEPluginBHO, IObjectWithSite>},
    {nullptr, nullptr},
};

HRESULT CQuorvantaIEPluginBHO::SetSite(IUnknown *newSite)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] {
        if (newSite != site.get()) site = ComPtr<IUnknown>::share(newSite);
        ComPtr<IServiceProvider> provider;
        HRESULT hr = GetSite(IID_IServiceProvider, provider.putVoid());
        if (SUCCEEDED(hr)) // a failed request leaves no browser
            provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, webBrowser.putVoid());
        return hr;
    });
}

HRESULT CQuorvantaIEPluginBHO::GetSite(REFIID iid, void **out)
{
    PLUGIN_LOG_ENTRY();
    if (!out) return E_POINTER;
    *out = nullptr;
    return site ? site->QueryInterface(iid, out) : E_FAIL;
}

HRESULT CQuorvantaIEPluginBHO::get_version(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(pluginVersion, result); });
}

HRESULT CQuorvantaIEPluginBHO::get_errorMessage(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(widen(errors.message()), result); });
}

HRESULT CQuorvantaIEPluginBHO::get_errorCode(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(std::to_wstring(errors.code()), result); });
}

HRESULT CQuorvantaIEPluginBHO::get_pluginLanguage(BSTR *result)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(language, result); });
}

HRESULT CQuorvantaIEPluginBHO::put_pluginLanguage(BSTR newLanguage)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] {
        language = bstrText(newLanguage);
        return S_OK;
    });
}

HRESULT CQuorvantaIEPluginBHO::getCertificate(IDispatch **certificate)
{
    PLUGIN_LOG("getCertificate()");
    return comBoundary([&] { return getCertificateWithOperation(Bstr(L"sign").get(), certificate); });
}

HRESULT CQuorvantaIEPluginBHO::getCertificateWithOperation(BSTR operation, IDispatch **certificate)
{
    PLUGIN_LOG("getCertificateWithOperation()");
    return comBoundary([&] {
        if (!certificate) return E_POINTER;
        *certificate = nullptr;
        if (!isSiteAllowed()) return errors.reportFailure();
        try {
            const bool auth = isAuthOperation(operation);
            PLUGIN_LOG("Operation %s auth %i", narrow(bstrText(operation)).c_str(), auth ? 1 : 0);
            // No certificate is handed out until selection from the
            // personal store is built.
            throw TechnicalException("Certificate selection is not available yet");
        } catch (const BaseException &e) {
            PLUGIN_LOG("Exception caught when getting certificate: %s: %s", e.getErrorCode().c_str(),
                       e.getErrorMessage().c_str());
            errors.setError(e);
            return errors.reportFailure();
        }
    });
}

HRESULT CQuorvantaIEPluginBHO::sign(BSTR id, BSTR hash, BSTR signingLanguage, BSTR *signature)
{
    PLUGIN_LOG("sign()");
    return comBoundary([&] { return signWithOperation(id, hash, signingLanguage, Bstr(L"sign").get(), signature); });
}

HRESULT CQuorvantaIEPluginBHO::signWithOperation(BSTR, BSTR, BSTR, BSTR operation, BSTR *signature)
{
    PLUGIN_LOG("signWithOperation()");
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] {
        if (!signature) return E_POINTER;
        *signature = nullptr;
        if (!isSiteAllowed()) return errors.reportFailure();
        try {
            const bool auth = isAuthOperation(operation);
            PLUGIN_LOG("Operation %s auth %i", narrow(bstrText(operation)).c_str(), auth ? 1 : 0);
            // No signature is made until the hash signer is built.
            throw TechnicalException("Signing is not available yet");
        } catch (const BaseException &e) {
            PLUGIN_LOG("Exception caught during signing: %s: %s", e.getErrorCode().c_str(),
                       e.getErrorMessage().c_str());
            errors.setError(e);
            return errors.reportFailure();
        }
    });
}

// A page is allowed when the browser's address begins with "https://",
// exactly. Without a browser, or when the browser gives no address, no page
// can be shown to be https: the call is refused like a plain http page.
bool CQuorvantaIEPluginBHO::isSiteAllowed()
{
    PLUGIN_LOG_ENTRY();
    if (!webBrowser) {
        PLUGIN_LOG("Browser object is not initialized!!!");
        errors.record(19, "Site not allowed");
        return false;
    }
    Bstr location;
    HRESULT hr = webBrowser->get_LocationURL(location.put());
    if (SUCCEEDED(hr) && bstrText(location.get()).rfind(L"https://", 0) == 0) return true;
    errors.record(19, "Site not allowed");
    PLUGIN_LOG("Protocol not allowed");
    return false;
}
