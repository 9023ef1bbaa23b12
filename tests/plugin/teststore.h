// The current user's personal certificate store and the test key provider's
// registration, as the plugin's tests and the IE demo set them up under Wine.
#pragma once

#include <string>

namespace teststore {

// The provider names that certificates' key information refers to.
extern const wchar_t cardProvider[];    // the test CryptoAPI provider (type 1)
extern const wchar_t cngProvider[];     // a CNG key storage provider (type 0)

// Registers the test CryptoAPI provider DLL (a Windows path) in the 64-bit
// registry view.
void registerCardProvider(const std::wstring &dll);

// Empties HKCU\Software\Microsoft\SystemCertificates\MY\Certificates.
void clearStore();

// A key of the test provider with dwKeySpec AT_SIGNATURE, AT_KEYEXCHANGE, or
// one that is neither (0, 5); a CNG key; no key information at all.
enum class Key { card, cardExchange, cardSpec0, cardSpec5, cng, none };

// Adds a DER certificate file to the store (an old copy is deleted first) with
// key information naming `container` of the key's provider.
void addCertificate(const std::wstring &derFile, Key key, const std::wstring &container);

} // namespace teststore
