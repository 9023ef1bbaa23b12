// The scripting object's methods. Each logs its entry, runs inside
// comBoundary so that nothing is thrown back to the script engine, and reports
// a refused or failed call through the error state, which the script engine
// turns into an exception carrying the error message. Certificates come from
// a certificate object's selection, signatures from a CngCapiSigner.
#include "quorvantaiepluginbho.h"

#include "cngcapisigner.h"
#include "pluginlog.h"
#include "quorvantacertificate.h"
#include "text.h"

#include <servprov.h>
#include <shlguid.h>

namespace {

const wchar_t pluginVersion[] = L"2.3.9 64bit";

// The dispatch identifiers of the type library: pluginLanguage, and the
// certificate and signing calls getCertificate, getCertificateWithOperation,
// sign and signWithOperation.
const DISPID dispidLanguage = 4, dispidGetCertificate = 5, dispidSignWithOperation = 8;

// Only "auth", exactly, selects authentication; everything else signs.
bool isAuthOperation(BSTR operation)
{
    return bstrText(operation) == L"auth";
}

// The hash text as the signer takes it: the low 8 bits of every code unit.
std::string lowBytes(const std::wstring &text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t unit : text) bytes.push_back(static_cast<char>(unit & 0xFF));
    return bytes;
}

// Runs the selection of a certificate object. Ours is reached directly, so
// its failures arrive as error kinds; any other implementation of the class
// (a proxy, say) is called through COM, and its failure becomes a technical
// error with the description it left.
void selectCertificate(IQuorvantaCertificate *certificate, bool auth)
{
    ComPtr<IQuorvantaCertificate> own;
    if (SUCCEEDED(certificate->QueryInterface(IID_QuorvantaCertificateObject, own.putVoid()))) {
        static_cast<CQuorvantaCertificate *>(own.get())->readFromCertContext(auth);
        return;
    }
    if (SUCCEEDED(certificate->select_certificate(auth ? 1 : 0))) return;
    ComPtr<IErrorInfo> info;
    Bstr description;
    if (GetErrorInfo(0, info.put()) == S_OK && info) info->GetDescription(description.put());
    std::wstring text = bstrText(description.get());
    throw TechnicalException(text.empty() ? "Certificate selection failed" : narrow(text));
}

// The DER of the certificate that a certificate object holds; empty when it
// does not say.
ByteVec selectedDer(IQuorvantaCertificate *certificate)
{
    Bstr text;
    if (FAILED(certificate->get_certificateAsHex(text.put()))) return {};
    try {
        return fromHex(narrow(bstrText(text.get())));
    } catch (const std::runtime_error &) {
        return {};
    }
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
    return comBoundary([&] {
        if (!out) return E_POINTER;
        *out = nullptr;
        return site ? site->QueryInterface(iid, out) : E_FAIL;
    });
}

// A certificate or signing call through IDispatch starts with no failure
// recorded: one that the script engine cannot even make (its arguments do not
// convert) must not leave page script an earlier call's failure to read. The
// same holds for setting the language, which records no failure of its own.
HRESULT CQuorvantaIEPluginBHO::Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS *params,
                                      VARIANT *result, EXCEPINFO *exception, UINT *argError)
{
    return comBoundary([&] {
        if (member >= dispidGetCertificate && member <= dispidSignWithOperation) errors.record(0, "");
        const HRESULT hr =
            TypeInfoDispatch::Invoke(member, iid, locale, flags, params, result, exception, argError);
        if (member == dispidLanguage && FAILED(hr)) errors.record(0, "");
        return hr;
    });
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

HRESULT CQuorvantaIEPluginBHO::getCertificate(IDispatch **result)
{
    PLUGIN_LOG("getCertificate()");
    return comBoundary([&] { return getCertificateWithOperation(Bstr(L"sign").get(), result); });
}

HRESULT CQuorvantaIEPluginBHO::getCertificateWithOperation(BSTR operation, IDispatch **result)
{
    PLUGIN_LOG("getCertificateWithOperation()");
    return comBoundary([&] {
        if (!result) return E_POINTER;
        *result = nullptr;
        if (!isSiteAllowed()) return errors.reportFailure();
        try {
            // This call's own object: page script may run a second call while
            // this one's dialog is open, and that call replaces the member.
            certificate.reset();
            ComPtr<IQuorvantaCertificate> created;
            HRESULT hr = CoCreateInstance(CLSID_QuorvantaCertificate, nullptr, CLSCTX_ALL, IID_IQuorvantaCertificate,
                                          created.putVoid());
            if (FAILED(hr)) {
                PLUGIN_LOG("CoCreateInstance failed: %lX", static_cast<unsigned long>(hr));
                throw TechnicalException("Failed to create certificate object");
            }
            certificate = created;
            const bool auth = isAuthOperation(operation);
            PLUGIN_LOG("Operation %s auth %i", narrow(bstrText(operation)).c_str(), auth ? 1 : 0);
            selectCertificate(created.get(), auth);
            certificate = created; // the call that ends last holds its object
            selectedCertificate = selectedDer(created.get());
            *result = created.detach();
            errors.clearErrors();
            return S_OK;
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

// The language argument, like the operation, does not change how the hash
// is signed.
HRESULT CQuorvantaIEPluginBHO::signWithOperation(BSTR id, BSTR hash, BSTR, BSTR operation, BSTR *signature)
{
    PLUGIN_LOG("signWithOperation()");
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] {
        if (!signature) return E_POINTER;
        *signature = nullptr;
        if (!isSiteAllowed()) return errors.reportFailure();
        try {
            std::wstring result;
            try {
                const std::string hashText = lowBytes(bstrText(hash));
                // An id that has no exact narrow form names no certificate;
                // the empty text, which no certificate has, stands for it.
                std::string idText;
                if (!narrowExactly(bstrText(id), idText)) idText.clear();
                const bool auth = isAuthOperation(operation);
                PLUGIN_LOG("Operation %s auth %i", narrow(bstrText(operation)).c_str(), auth ? 1 : 0);
                CngCapiSigner signer(hashText, idText, selectedCertificate);
                result = widen(signer.sign());
            } catch (const BaseException &) {
                throw;
            } catch (const std::runtime_error &e) {
                // "Hex is incorrect" and any other plain runtime error: a
                // technical error with its text, as the host answers it.
                throw TechnicalException(e.what());
            }
            *signature = Bstr(result).detach();
            errors.clearErrors();
            PLUGIN_LOG("Signing ended");
            return S_OK;
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
