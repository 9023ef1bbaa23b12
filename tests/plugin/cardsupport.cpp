// The card tests' shared helpers; see cardsupport.h.
#include "cardsupport.h"

#include "cert_dialog_win.h"
#include "fakebrowser.h"
#include "imports.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <ocidl.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>

namespace card {

HMODULE plugin;
std::wstring pkiDir, workDir;

using teststore::Key;

// Each certificate's container is its PKI name.
const std::vector<StoreCertificate> storeTable = {
    {L"sign-rsa", Key::card, true, false, nullptr},               // non-repudiation, CryptoAPI RSA
    {L"auth-rsa", Key::cng, false, true, nullptr},                // client authentication, CNG RSA
    {L"usage-dsnr-client", Key::card, true, true, nullptr},       // both usages
    {L"usage-nr-client", Key::cng, true, false, nullptr},         // client auth without digital signature, CNG EC
    {L"usage-ds", Key::card, false, false, nullptr},              // digital signature, no EKU
    {L"usage-none", Key::card, false, false, nullptr},            // no key usage, no EKU
    {L"usage-noku-client", Key::card, false, false, nullptr},     // no key usage, client auth
    {L"validity-expired", Key::card, false, false, nullptr},
    {L"validity-future", Key::card, false, false, nullptr},       // not yet valid
    {L"sign-p256", Key::card, false, false, "imptype 2 sign-p256"},      // software CryptoAPI key
    {L"auth-p256", Key::cng, false, false, "imptype 2 auth-p256"},       // software CNG key
    {L"sign-p384", Key::card, true, false, "imptype 1 sign-p384"},       // hardware only
    {L"auth-p384", Key::cardExchange, false, true, "imptype 8 auth-p384"}, // removable only
    {L"subject-latvian", Key::card, false, false, "acquire-error 0x8010000C subject-latvian"}, // card absent
    {L"demo-sign", Key::none, false, false, nullptr},             // no key information
    {L"usage-dsnr", Key::cardSpec0, false, false, nullptr},       // a key that is neither for
    {L"usage-ke", Key::cardSpec5, false, false, nullptr},         // signing nor for exchange
};

namespace {

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::wstring fixturePath() { return workDir + L"\\keys.fixture"; }
std::wstring journalPath() { return workDir + L"\\keys.journal"; }

} // namespace

Answer call(IDispatch *object, const wchar_t *name, WORD flags, const std::vector<std::wstring> &args)
{
    std::vector<VARIANT> values;
    for (const std::wstring &arg : args) values.push_back(text(arg));
    return ::call(object, name, flags, values);
}

std::wstring property(IDispatch *object, const wchar_t *name)
{
    return ::call(object, name, DISPATCH_PROPERTYGET).text;
}

ComPtr<IDispatch> pagePlugin(const wchar_t *url)
{
    using GetClassObject = HRESULT(WINAPI *)(REFCLSID, REFIID, void **);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void *>(GetProcAddress(plugin, "DllGetClassObject")));
    CLSID clsid;
    CLSIDFromProgID(L"quorvantapluginie.QuorvantaIEPluginBHO", &clsid);
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> object;
    ComPtr<IObjectWithSite> withSite;
    ComPtr<IUnknown> site;
    *site.put() = fakeSiteCreate(FAKE_SITE_BROWSER, url);
    if (FAILED(getClassObject(clsid, IID_IClassFactory, factory.putVoid())) ||
        FAILED(factory->CreateInstance(nullptr, IID_IDispatch, object.putVoid())) ||
        FAILED(object->QueryInterface(IID_IObjectWithSite, withSite.putVoid())))
        return ComPtr<IDispatch>();
    withSite->SetSite(site.get());
    return object;
}

void useFixture(const std::vector<std::string> &extra)
{
    std::ofstream file(fixturePath().c_str(), std::ios::trunc);
    file << "keys " << narrow(pkiDir) << "\njournal " << narrow(journalPath()) << "\n";
    for (const std::string &line : extra) file << line << "\n";
    DeleteFileW(journalPath().c_str());
    SetEnvironmentVariableW(L"QUORVANTA_TEST_CSP_FIXTURE", fixturePath().c_str());
    SetEnvironmentVariableW(L"QUORVANTA_TEST_NCRYPT_FIXTURE", fixturePath().c_str());
}

std::vector<std::string> journalLines()
{
    std::ifstream file(journalPath().c_str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

size_t countLines(const std::vector<std::string> &lines, const std::string &prefix, const std::string &suffix)
{
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.compare(0, prefix.size(), prefix) == 0 && line.size() >= suffix.size() &&
               line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
    }));
}

std::vector<std::string> fixtureOf(const std::vector<StoreCertificate> &rows)
{
    std::vector<std::string> lines;
    for (const auto &row : rows)
        if (row.fixture) lines.push_back(row.fixture);
    return lines;
}

void fillStore(const std::vector<StoreCertificate> &rows)
{
    teststore::clearStore();
    for (const auto &row : rows)
        teststore::addCertificate(pkiDir + L"\\" + row.name + L".der", row.key, row.name);
}

Bytes readFile(const std::wstring &path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes pkiDer(const wchar_t *name) { return readFile(pkiDir + L"\\" + name + L".der"); }

std::string idOf(const Bytes &der)
{
    const size_t length = size_t(std::find(der.begin(), der.end(), 0) - der.begin());
    unsigned char digest[MD5_DIGEST_LENGTH];
    unsigned int size = 0;
    EVP_Digest(der.data(), length, digest, &size, EVP_md5(), nullptr);
    std::string text;
    for (unsigned char byte : digest) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

std::wstring hexText(const Bytes &bytes)
{
    std::wstring text;
    for (unsigned char byte : bytes) {
        text += L"0123456789ABCDEF"[byte >> 4];
        text += L"0123456789ABCDEF"[byte & 15];
    }
    return text;
}

Bytes fromHexText(const std::wstring &text)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(narrow(text.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::vector<Bytes> storeOrder()
{
    std::vector<Bytes> order;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (!store) return order;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));)
        order.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    CertCloseStore(store, 0);
    return order;
}

std::vector<Bytes> admitted(const std::vector<StoreCertificate> &rows, bool auth)
{
    std::vector<Bytes> found;
    for (const Bytes &der : storeOrder())
        for (const auto &r : rows)
            if (pkiDer(r.name) == der && (auth ? r.auth : r.signing)) found.push_back(der);
    return found;
}

bool verifies(const Bytes &certificate, const Bytes &hash, const Bytes &signature)
{
    static const struct { size_t size; const EVP_MD *(*md)(); } digests[] = {
        {20, EVP_sha1}, {28, EVP_sha224}, {32, EVP_sha256}, {48, EVP_sha384}, {64, EVP_sha512}};
    const unsigned char *in = certificate.data();
    std::unique_ptr<X509, void (*)(X509 *)> x509(d2i_X509(nullptr, &in, long(certificate.size())), X509_free);
    if (!x509) return false;
    EVP_PKEY *key = X509_get0_pubkey(x509.get());
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)> context(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_verify_init(context.get()) <= 0) return false;
    Bytes checked = signature;
    if (EVP_PKEY_base_id(key) == EVP_PKEY_RSA) {
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
        for (const auto &d : digests)
            if (d.size == hash.size()) EVP_PKEY_CTX_set_signature_md(context.get(), d.md());
    } else { // r||s to the DER form OpenSSL verifies
        const size_t half = signature.size() / 2;
        std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG *)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
        ECDSA_SIG_set0(sig.get(), BN_bin2bn(signature.data(), int(half), nullptr),
                       BN_bin2bn(signature.data() + half, int(half), nullptr));
        unsigned char *der = nullptr;
        const int size = i2d_ECDSA_SIG(sig.get(), &der);
        if (size <= 0) return false;
        checked.assign(der, der + size);
        OPENSSL_free(der);
    }
    return EVP_PKEY_verify(context.get(), checked.data(), checked.size(), hash.data(), hash.size()) == 1;
}

namespace {

using AcquireFunction = BOOL(WINAPI *)(PCCERT_CONTEXT, DWORD, void *, HCRYPTPROV_OR_NCRYPT_KEY_HANDLE *, DWORD *,
                                       BOOL *);
AcquireFunction systemAcquire = reinterpret_cast<AcquireFunction>(reinterpret_cast<void *>(
    GetProcAddress(LoadLibraryW(L"crypt32.dll"), "CryptAcquireCertificatePrivateKey")));

template <class Function>
Function ncryptFunction(const char *name)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    HMODULE ncrypt = length && length < MAX_PATH - 12 ? LoadLibraryW((std::wstring(path) + L"\\ncrypt.dll").c_str())
                                                      : nullptr;
    return ncrypt ? reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(ncrypt, name))) : nullptr;
}

// What Windows answers for a certificate whose key lives with a CNG provider.
BOOL WINAPI acquireWithCng(PCCERT_CONTEXT certificate, DWORD flags, void *reserved,
                           HCRYPTPROV_OR_NCRYPT_KEY_HANDLE *key, DWORD *keySpec, BOOL *callerFrees)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return systemAcquire(certificate, flags, reserved, key, keySpec, callerFrees);
    std::vector<BYTE> buffer(size);
    auto *info = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(buffer.data());
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info, &size) ||
        info->dwProvType != 0 || !(flags & (CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG | CRYPT_ACQUIRE_ONLY_NCRYPT_KEY_FLAG)))
        return systemAcquire(certificate, flags, reserved, key, keySpec, callerFrees);

    using Open = SECURITY_STATUS(WINAPI *)(NCRYPT_PROV_HANDLE *, LPCWSTR, DWORD);
    using OpenKey = SECURITY_STATUS(WINAPI *)(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE *, LPCWSTR, DWORD, DWORD);
    using Free = SECURITY_STATUS(WINAPI *)(NCRYPT_HANDLE);
    auto open = ncryptFunction<Open>("NCryptOpenStorageProvider");
    auto openKey = ncryptFunction<OpenKey>("NCryptOpenKey");
    auto free = ncryptFunction<Free>("NCryptFreeObject");
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE opened = 0;
    SECURITY_STATUS status = open && openKey && free ? open(&provider, info->pwszProvName, 0) : NTE_PROV_DLL_NOT_FOUND;
    if (status == ERROR_SUCCESS) {
        status = openKey(provider, &opened, info->pwszContainerName, 0,
                         flags & CRYPT_ACQUIRE_SILENT_FLAG ? NCRYPT_SILENT_FLAG : 0);
        free(provider);
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(DWORD(status));
        return FALSE;
    }
    // Never cached: the caller always frees the key.
    *key = opened;
    *keySpec = CERT_NCRYPT_KEY_SPEC;
    if (callerFrees) *callerFrees = TRUE;
    return TRUE;
}

std::deque<SelectionAnswer> selectionAnswers;
decltype(&CryptUIDlgSelectCertificateW) systemSelect;

PCCERT_CONTEXT WINAPI selectAsPlanned(const CRYPTUI_SELECTCERTIFICATE_STRUCTW *request)
{
    if (selectionAnswers.empty()) return systemSelect(request);
    const SelectionAnswer answer = selectionAnswers.front();
    selectionAnswers.pop_front();
    if (answer.during) answer.during();
    size_t index = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(request->rghDisplayStores[0], c));)
        if (request->pFilterCallback(c, nullptr, request->pvCallbackData) && index++ == answer.pick) return c;
    return nullptr;
}

} // namespace

bool answerCngKeys(HMODULE module)
{
    return replaceImport(module, "crypt32.dll", "CryptAcquireCertificatePrivateKey",
                         reinterpret_cast<void *>(&acquireWithCng)) != nullptr;
}

bool answerSelections(HMODULE module)
{
    systemSelect = reinterpret_cast<decltype(systemSelect)>(replaceImport(
        module, "cryptui.dll", "CryptUIDlgSelectCertificateW", reinterpret_cast<void *>(&selectAsPlanned)));
    return systemSelect != nullptr;
}

void planSelections(const std::vector<SelectionAnswer> &answers)
{
    selectionAnswers.assign(answers.begin(), answers.end());
}

} // namespace card
