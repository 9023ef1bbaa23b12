// Store and provider setup for the plugin's tests. Certificates are added
// with CertAddEncodedCertificateToStore and CERT_KEY_PROV_INFO_PROP_ID after
// any old copy is deleted (replacing would keep the old key information);
// emptying the store goes through its registry key, because deletions through
// the store do not stick under Wine.
#include "teststore.h"

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

namespace teststore {

const wchar_t cardProvider[] = L"Quorvanta Test Card Provider";
const wchar_t cngProvider[] = L"Quorvanta Test Key Storage Provider";

namespace {

void check(bool ok, const char *what)
{
    if (!ok) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(GetLastError()));
}

void checkStatus(LSTATUS status, const char *what)
{
    if (status != ERROR_SUCCESS) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
}

struct StoreClose { void operator()(void *store) const { CertCloseStore(store, 0); } };
struct ContextFree { void operator()(const CERT_CONTEXT *c) const { CertFreeCertificateContext(c); } };
struct KeyClose { void operator()(HKEY key) const { RegCloseKey(key); } };
using KeyPtr = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

} // namespace

void registerCardProvider(const std::wstring &dll)
{
    HKEY raw = nullptr;
    const std::wstring path = std::wstring(L"Software\\Microsoft\\Cryptography\\Defaults\\Provider\\") + cardProvider;
    checkStatus(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                nullptr, &raw, nullptr),
                "RegCreateKeyExW");
    KeyPtr key(raw);
    const DWORD type = PROV_RSA_FULL;
    checkStatus(RegSetValueExW(raw, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE *>(dll.c_str()),
                               DWORD((dll.size() + 1) * sizeof(wchar_t))),
                "RegSetValueExW");
    checkStatus(RegSetValueExW(raw, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&type), sizeof type),
                "RegSetValueExW");
}

void clearStore()
{
    LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\MY\\Certificates");
    if (status != ERROR_FILE_NOT_FOUND) checkStatus(status, "RegDeleteTreeW");
}

void addCertificate(const std::wstring &derFile, Key key, const std::wstring &container)
{
    std::ifstream file(derFile.c_str(), std::ios::binary);
    check(bool(file), "opening the certificate file");
    const std::vector<BYTE> der{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

    std::unique_ptr<void, StoreClose> store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                          CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
    check(bool(store), "CertOpenStore");
    std::unique_ptr<const CERT_CONTEXT, ContextFree> parsed(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size())));
    check(bool(parsed), "CertCreateCertificateContext");
    if (PCCERT_CONTEXT old = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                        parsed.get(), nullptr))
        CertDeleteCertificateFromStore(old); // frees `old`

    PCCERT_CONTEXT raw = nullptr;
    check(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                           CERT_STORE_ADD_ALWAYS, &raw),
          "CertAddEncodedCertificateToStore");
    std::unique_ptr<const CERT_CONTEXT, ContextFree> added(raw);
    if (key == Key::none) return;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t *>(container.c_str());
    info.pwszProvName = const_cast<wchar_t *>(key == Key::cng ? cngProvider : cardProvider);
    info.dwProvType = key == Key::cng ? 0 : PROV_RSA_FULL;
    info.dwKeySpec = key == Key::cardExchange ? AT_KEYEXCHANGE
                     : key == Key::cardSpec5    ? 5
                     : key == Key::card         ? AT_SIGNATURE
                                                : 0;
    check(CertSetCertificateContextProperty(added.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info),
          "CertSetCertificateContextProperty");
}

} // namespace teststore
