/* A browser site for tests: an object with IServiceProvider whose
 * SID_SWebBrowserApp service is a fake IWebBrowser2. Of the browser only
 * QueryInterface, AddRef, Release and get_LocationURL work; every other
 * method answers E_NOTIMPL. */
#pragma once

#include <windows.h>
#include <unknwn.h>

#ifdef __cplusplus
extern "C" {
#endif

enum FakeSiteKind {
    FAKE_SITE_BROWSER,        /* serves the browser; its address is `url` (NULL: no address) */
    FAKE_SITE_NO_BROWSER,     /* a service provider without the browser service */
    FAKE_SITE_NO_PROVIDER     /* a plain IUnknown */
};

/* A new site with one reference. */
IUnknown *fakeSiteCreate(enum FakeSiteKind kind, const wchar_t *url);

#ifdef __cplusplus
}
#endif
