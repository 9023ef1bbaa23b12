/* The fake browser site of the plugin tests, in C so that the browser's long
 * vtable can be filled with one stub and then given its few real methods.
 * Site and browser are one allocation with one reference count. */
#define COBJMACROS
#define CINTERFACE
#include "fakebrowser.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include <stddef.h>

typedef struct {
    IServiceProvider site;
    IWebBrowser2 browser;
    LONG refs;
    enum FakeSiteKind kind;
    BSTR url;
} Fake;

#define FROM_SITE(p) ((Fake *)(p))
#define FROM_BROWSER(p) ((Fake *)((char *)(p) - offsetof(Fake, browser)))

static ULONG addRef(Fake *fake) { return InterlockedIncrement(&fake->refs); }

static ULONG release(Fake *fake)
{
    LONG left = InterlockedDecrement(&fake->refs);
    if (left == 0) {
        SysFreeString(fake->url);
        HeapFree(GetProcessHeap(), 0, fake);
    }
    return left;
}

static HRESULT answer(Fake *fake, void *object, void **out)
{
    *out = object;
    addRef(fake);
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE siteQueryInterface(IServiceProvider *self, REFIID iid, void **out)
{
    if (!out) return E_POINTER;
    *out = NULL;
    if (IsEqualIID(iid, &IID_IUnknown) ||
        (FROM_SITE(self)->kind != FAKE_SITE_NO_PROVIDER && IsEqualIID(iid, &IID_IServiceProvider)))
        return answer(FROM_SITE(self), self, out);
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE siteAddRef(IServiceProvider *self) { return addRef(FROM_SITE(self)); }
static ULONG STDMETHODCALLTYPE siteRelease(IServiceProvider *self) { return release(FROM_SITE(self)); }

static HRESULT STDMETHODCALLTYPE siteQueryService(IServiceProvider *self, REFGUID service, REFIID iid, void **out)
{
    Fake *fake = FROM_SITE(self);
    if (!out) return E_POINTER;
    *out = NULL;
    if (fake->kind != FAKE_SITE_BROWSER || !IsEqualGUID(service, &SID_SWebBrowserApp)) return E_NOINTERFACE;
    return IWebBrowser2_QueryInterface(&fake->browser, iid, out);
}

static HRESULT STDMETHODCALLTYPE browserQueryInterface(IWebBrowser2 *self, REFIID iid, void **out)
{
    if (!out) return E_POINTER;
    *out = NULL;
    if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IDispatch) || IsEqualIID(iid, &IID_IWebBrowserApp) ||
        IsEqualIID(iid, &IID_IWebBrowser2))
        return answer(FROM_BROWSER(self), self, out);
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE browserAddRef(IWebBrowser2 *self) { return addRef(FROM_BROWSER(self)); }
static ULONG STDMETHODCALLTYPE browserRelease(IWebBrowser2 *self) { return release(FROM_BROWSER(self)); }

static HRESULT STDMETHODCALLTYPE browserLocationURL(IWebBrowser2 *self, BSTR *url)
{
    if (!url) return E_POINTER;
    *url = FROM_BROWSER(self)->url ? SysAllocString(FROM_BROWSER(self)->url) : NULL;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE notImplemented(void) { return E_NOTIMPL; }

static IServiceProviderVtbl siteVtbl = {siteQueryInterface, siteAddRef, siteRelease, siteQueryService};
static IWebBrowser2Vtbl browserVtbl;

IUnknown *fakeSiteCreate(enum FakeSiteKind kind, const wchar_t *url)
{
    void **slot = (void **)&browserVtbl;
    for (size_t i = 0; i < sizeof browserVtbl / sizeof *slot; ++i) slot[i] = (void *)notImplemented;
    browserVtbl.QueryInterface = browserQueryInterface;
    browserVtbl.AddRef = browserAddRef;
    browserVtbl.Release = browserRelease;
    browserVtbl.get_LocationURL = browserLocationURL;

    Fake *fake = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *fake);
    fake->site.lpVtbl = &siteVtbl;
    fake->browser.lpVtbl = &browserVtbl;
    fake->refs = 1;
    fake->kind = kind;
    fake->url = url ? SysAllocString(url) : NULL;
    return (IUnknown *)&fake->site;
}
