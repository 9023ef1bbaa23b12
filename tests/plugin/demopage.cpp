// plugin-demo-page: does what page script on an https page does with the
// plugin, through late binding with the test browser as the site: asks for a
// signing certificate (the selection dialog), reads its id and certificate,
// signs the given hash with that id. Prints "id", "certificate" and
// "signature" lines, or "error <code> <message>" and exits 1.
//   plugin-demo-page HASH-HEX
// The plugin is the registered one (quorvantapluginie.QuorvantaIEPluginBHO).
#include "comsupport.h"
#include "fakebrowser.h"

#include <ocidl.h>

#include <cstdio>
#include <string>

namespace {

std::wstring invoke(IDispatch *object, const wchar_t *name, WORD flags, const std::wstring *argument,
                    ComPtr<IDispatch> *objectResult, HRESULT *hr)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    *hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(*hr)) return L"";
    VARIANT args[3];
    UINT count = 0;
    if (argument) { // sign(id, hash, language): arguments last first
        V_VT(&args[0]) = VT_BSTR, V_BSTR(&args[0]) = SysAllocString(L"en");
        V_VT(&args[1]) = VT_BSTR, V_BSTR(&args[1]) = SysAllocString(argument[1].c_str());
        V_VT(&args[2]) = VT_BSTR, V_BSTR(&args[2]) = SysAllocString(argument[0].c_str());
        count = 3;
    }
    DISPPARAMS params{args, nullptr, count, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    *hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &exception, nullptr);
    std::wstring text;
    if (V_VT(&result) == VT_BSTR && V_BSTR(&result)) text = V_BSTR(&result);
    if (V_VT(&result) == VT_DISPATCH && objectResult) *objectResult = ComPtr<IDispatch>::share(V_DISPATCH(&result));
    VariantClear(&result);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    for (UINT i = 0; i < count; ++i) VariantClear(&args[i]);
    return text;
}

int failed(IDispatch *page)
{
    HRESULT hr;
    std::wstring code = invoke(page, L"errorCode", DISPATCH_PROPERTYGET, nullptr, nullptr, &hr);
    std::wstring message = invoke(page, L"errorMessage", DISPATCH_PROPERTYGET, nullptr, nullptr, &hr);
    std::printf("error %ls %ls\n", code.c_str(), message.c_str());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::fputs("usage: plugin-demo-page HASH-HEX\n", stderr);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 1;
    {
        ComPtr<IDispatch> page;
        ComPtr<IObjectWithSite> withSite;
        ComPtr<IUnknown> site;
        *site.put() = fakeSiteCreate(FAKE_SITE_BROWSER, L"https://quorvanta.lv/demo");
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(L"quorvantapluginie.QuorvantaIEPluginBHO", &clsid)) ||
            FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, page.putVoid())) ||
            FAILED(page->QueryInterface(IID_IObjectWithSite, withSite.putVoid()))) {
            std::puts("error the plugin is not registered");
        } else {
            withSite->SetSite(site.get());
            HRESULT hr;
            ComPtr<IDispatch> certificate;
            invoke(page.get(), L"getCertificate", DISPATCH_METHOD, nullptr, &certificate, &hr);
            if (FAILED(hr) || !certificate) {
                status = failed(page.get());
            } else {
                const std::wstring id = invoke(certificate.get(), L"id", DISPATCH_PROPERTYGET, nullptr, nullptr, &hr);
                const std::wstring der =
                    invoke(certificate.get(), L"certificateAsHex", DISPATCH_PROPERTYGET, nullptr, nullptr, &hr);
                std::printf("id %ls\ncertificate %ls\n", id.c_str(), der.c_str());
                const std::wstring args[2] = {id, argv[1]};
                const std::wstring signature = invoke(page.get(), L"sign", DISPATCH_METHOD, args, nullptr, &hr);
                if (FAILED(hr)) status = failed(page.get());
                else status = (std::printf("signature %ls\n", signature.c_str()), 0);
            }
        }
    }
    CoUninitialize();
    return status;
}
