// Choosing a certificate from the current user's personal store: the store
// itself, the system's selection dialog, and the two filters that let the
// dialog offer only smart-card certificates suited to signing or to
// authentication.
#pragma once

#include "crypto_win.h"

#include <windows.h>
#include <wincrypt.h>

// The selection request of cryptui.dll, which mingw's headers do not declare.
using CertFilterProc = BOOL(WINAPI *)(PCCERT_CONTEXT, BOOL *, void *);
using CertDisplayProc = BOOL(WINAPI *)(PCCERT_CONTEXT, HWND, void *);

struct CRYPTUI_SELECTCERTIFICATE_STRUCTW {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    LPCWSTR szTitle;
    DWORD dwDontUseColumn;
    LPCWSTR szDisplayString;
    CertFilterProc pFilterCallback;
    CertDisplayProc pDisplayCallback;
    void *pvCallbackData;
    DWORD cDisplayStores;
    HCERTSTORE *rghDisplayStores;
    DWORD cStores;
    HCERTSTORE *rghStores;
    DWORD cPropSheetPages;
    const void *rgPropSheetPages;
    HCERTSTORE hSelectedCertStore;
};

extern "C" DECLSPEC_IMPORT PCCERT_CONTEXT WINAPI
CryptUIDlgSelectCertificateW(const CRYPTUI_SELECTCERTIFICATE_STRUCTW *request);

// Non-repudiation usage and valid now.
bool isValidForSigning(PCCERT_CONTEXT certificate);
// Digital-signature usage, valid now, and TLS client authentication among
// the enhanced key usages (an absent list does not count).
bool isValidForAuthentication(PCCERT_CONTEXT certificate);
// The implementation type of the certificate's key masked with hardware (1)
// and removable (8): 0, 1, 8 or 9. The key is acquired silently and, for the
// selection dialog, cached on the certificate context; the signer, which
// then acquires the key for signing, must not find that silent handle there
// (`cacheKey` false).
int isSmartCardCertificate(PCCERT_CONTEXT certificate, bool cacheKey = true);

// Filter callbacks of the selection dialog; the last two arguments are ignored.
BOOL WINAPI signingCertificateFilter(PCCERT_CONTEXT certificate, BOOL *initialSelection, void *callbackData);
BOOL WINAPI authenticationCertificateFilter(PCCERT_CONTEXT certificate, BOOL *initialSelection,
                                            void *callbackData);

// The current user's "MY" store, read-only, closed with `closeFlags`. Fails
// with TechnicalException "Failed to open Cert Store".
CertStore openPersonalStore(DWORD closeFlags);

// Shows the system's selection dialog over `store` with the filter of the
// operation. The chosen certificate, or an empty owner when the user chose
// none (also when nothing was offered).
CertContext showSelectionDialog(HCERTSTORE store, bool auth);
