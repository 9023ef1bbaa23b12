// plugin-demo-page: does what page script on an https page does with the
// plugin, through late binding with the test browser as the site: asks for a
// signing certificate (the selection dialog), reads its id and certificate,
// signs the given hash with that id. Prints "id", "certificate" and
// "signature" lines, or "error <code> <message>" and exits 1.
//   plugin-demo-page HASH-HEX
// The plugin is the registered one (quorvantapluginie.QuorvantaIEPluginBHO).
#include "comsupport.h"
#include "fakebrowser.h"
#include "latebinding.h"

#include <ocidl.h>

#include <cstdio>
#include <string>

namespace {

int failed(IDispatch *page)
{
    const std::wstring code = call(page, L"errorCode", DISPATCH_PROPERTYGET).text;
    const std::wstring message = call(page, L"errorMessage", DISPATCH_PROPERTYGET).text;
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
            const Answer got = call(page.get(), L"getCertificate", DISPATCH_METHOD);
            if (FAILED(got.hr) || !got.object) {
                status = failed(page.get());
            } else {
                const std::wstring id = call(got.object.get(), L"id", DISPATCH_PROPERTYGET).text;
                const std::wstring der = call(got.object.get(), L"certificateAsHex", DISPATCH_PROPERTYGET).text;
                std::printf("id %ls\ncertificate %ls\n", id.c_str(), der.c_str());
                const Answer signature =
                    call(page.get(), L"sign", DISPATCH_METHOD, {text(id), text(argv[1]), text(L"en")});
                if (FAILED(signature.hr)) status = failed(page.get());
                else status = (std::printf("signature %ls\n", signature.text.c_str()), 0);
            }
        }
    }
    CoUninitialize();
    return status;
}
