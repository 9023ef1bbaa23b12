// The plugin's certificate selection and signing under wine64, with the test
// CryptoAPI provider and the test ncrypt.dll standing for smart cards: the
// doubles themselves, the filters over one table of store certificates, the
// signer over one table of hash lengths and statuses through late-bound page
// script calls, and (with a display and a dialog driver, see
// run-card-dialogs.sh) the real selection dialog end to end.
//   plugin-card-test PLUGIN.dll PKI-DIR DOUBLES-DIR WORK-DIR   (Windows paths)
#include "cardsupport.h"
#include "cert_dialog_win.h"
#include "imports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace card;
using teststore::Key;

namespace {

std::wstring doublesDir;
bool pluginAnswersCng, testAnswersCng, pluginAnswersSelections, pluginCountsProviders;

// The plugin's own CryptAcquireContextW calls (its import counted): the
// provider that computes certificate identifiers. Key providers are acquired
// by crypt32, not counted.
size_t providersAcquired;
decltype(&CryptAcquireContextW) systemAcquireContext;
BOOL WINAPI countedAcquireContext(HCRYPTPROV *provider, LPCWSTR container, LPCWSTR name, DWORD type, DWORD flags)
{
    ++providersAcquired;
    return systemAcquireContext(provider, container, name, type, flags);
}

std::wstring systemNcrypt()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\ncrypt.dll";
}

// The test ncrypt.dll (built into DOUBLES-DIR\ncrypt) takes the place of the
// system's in the Wine prefix. It stays there (Wine does not let a loaded DLL
// be removed), which is harmless: Wine loads it only with ncrypt=n, its own
// otherwise. A copy of it lies beside this program while the tests run, where
// a bare "ncrypt.dll" would be found first.
class CardEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        const std::wstring testNcrypt = doublesDir + L"\\ncrypt\\ncrypt.dll";
        ASSERT_TRUE(CopyFileW(testNcrypt.c_str(), systemNcrypt().c_str(), FALSE)) << GetLastError();
        ASSERT_TRUE(CopyFileW(testNcrypt.c_str(), plantedNcrypt().c_str(), FALSE)) << GetLastError();

        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        plugin = LoadLibraryW(pluginPath.c_str());
        ASSERT_NE(plugin, nullptr);
        using Plain = HRESULT(WINAPI *)();
        ASSERT_EQ(reinterpret_cast<Plain>(reinterpret_cast<void *>(GetProcAddress(plugin, "DllRegisterServer")))(),
                  S_OK);
        teststore::registerCardProvider(doublesDir + L"\\quorvanta-testcsp.dll");
        pluginAnswersCng = answerCngKeys(plugin);
        testAnswersCng = answerCngKeys(GetModuleHandleW(nullptr));
        pluginAnswersSelections = answerSelections(plugin);
        systemAcquireContext = reinterpret_cast<decltype(systemAcquireContext)>(replaceImport(
            plugin, "advapi32.dll", "CryptAcquireContextW", reinterpret_cast<void *>(&countedAcquireContext)));
        pluginCountsProviders = systemAcquireContext != nullptr;
    }
    void TearDown() override
    {
        teststore::clearStore();
        using Plain = HRESULT(WINAPI *)();
        reinterpret_cast<Plain>(reinterpret_cast<void *>(GetProcAddress(plugin, "DllUnregisterServer")))();
        CoUninitialize();
        DeleteFileW(plantedNcrypt().c_str());
    }
    std::wstring pluginPath;

private:
    static std::wstring plantedNcrypt() { return doublesDir + L"\\ncrypt.dll"; }
};

const StoreCertificate &row(const wchar_t *name)
{
    for (const auto &r : storeTable)
        if (std::wstring(r.name) == name) return r;
    throw std::runtime_error("no such row");
}

// Signs through page script: sign(id, hash, "en"), by `page` or a new page.
Answer pageSign(const std::wstring &id, const std::wstring &hash, ComPtr<IDispatch> page = {})
{
    if (!page) page = pagePlugin();
    Answer answer = call(page.get(), L"sign", DISPATCH_METHOD, {id, hash, L"en"});
    answer.object = page;
    return answer;
}

Answer pageSign(const std::string &id, const std::wstring &hash, ComPtr<IDispatch> page = {})
{
    return pageSign(std::wstring(id.begin(), id.end()), hash, page);
}

Bytes hashOf(size_t size)
{
    Bytes hash(size);
    for (size_t i = 0; i < size; ++i) hash[i] = static_cast<unsigned char>(0xA0 + i * 7);
    return hash;
}

// The CNG binding loads ncrypt.dll from the system folder, never the copy
// beside the program. The binding is the plugin's own code, compiled into
// this program too. This test must run first: once a module named ncrypt.dll
// is loaded, every later load by bare name gets that module.
TEST(Doubles, NcryptComesFromTheSystemFolder)
{
    EXPECT_EQ(ncrypt::freeObject(0), NTE_INVALID_HANDLE) << "the test ncrypt.dll answers";
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"ncrypt.dll"), path, MAX_PATH);
    EXPECT_EQ(lstrcmpiW(path, systemNcrypt().c_str()), 0) << std::string(path, path + wcslen(path));
}

// The test provider alone, through advapi32: it is found by its registration,
// reports hardware and removable, and its signature verifies only once its
// little-endian bytes are reversed.
TEST(Doubles, CardProviderSignsLittleEndian)
{
    useFixture();
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, L"sign-rsa", teststore::cardProvider, PROV_RSA_FULL, 0))
        << GetLastError();
    DWORD type = 0, size = sizeof type;
    EXPECT_TRUE(CryptGetProvParam(provider, PP_IMPTYPE, reinterpret_cast<BYTE *>(&type), &size, 0));
    EXPECT_EQ(type, 9u);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash));
    Bytes value = hashOf(32);
    EXPECT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    Bytes signature(1024);
    size = DWORD(signature.size());
    EXPECT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size)) << GetLastError();
    signature.resize(size);
    EXPECT_EQ(size, 256u);
    EXPECT_FALSE(verifies(pkiDer(L"sign-rsa"), value, signature));
    std::reverse(signature.begin(), signature.end());
    EXPECT_TRUE(verifies(pkiDer(L"sign-rsa"), value, signature));
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);

    useFixture({"sign-error 0x8010006C", "acquire-error 0x8010000C auth-rsa"});
    EXPECT_FALSE(CryptAcquireContextW(&provider, L"auth-rsa", teststore::cardProvider, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), 0x8010000Cu);
    ASSERT_TRUE(CryptAcquireContextW(&provider, L"sign-rsa", teststore::cardProvider, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
    EXPECT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    size = 1024;
    signature.resize(size);
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size));
    EXPECT_EQ(GetLastError(), 0x8010006Cu) << "the fixture's error reaches the caller";
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
}

// The masked implementation type the row's key must report: 9 unless its
// fixture line sets another type or makes the card absent; 0 without a key.
int expectedType(const StoreCertificate &r)
{
    const std::string line = r.fixture ? r.fixture : "";
    if (r.key == Key::none || r.key == Key::cardSpec0 || r.key == Key::cardSpec5 ||
        line.rfind("acquire-error", 0) == 0)
        return 0;
    return line.rfind("imptype ", 0) == 0 ? std::stoi(line.substr(8)) & 9 : 9;
}

// The filters over the store table.
TEST(Filters, StoreTable)
{
    ASSERT_TRUE(testAnswersCng) << "the filters' crypt32 import";
    useFixture(fixtureOf(storeTable));
    fillStore(storeTable);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    ASSERT_NE(store, nullptr);
    size_t seen = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
        const Bytes der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
        for (const auto &r : storeTable) {
            if (pkiDer(r.name) != der) continue;
            ++seen;
            const int type = isSmartCardCertificate(c);
            EXPECT_EQ(type, expectedType(r)) << std::string(r.name, r.name + wcslen(r.name));
            const bool card = type != 0;
            EXPECT_EQ(isValidForSigning(c) && card, r.signing) << "signing: " << std::string(r.name, r.name + wcslen(r.name));
            EXPECT_EQ(isValidForAuthentication(c) && card, r.auth) << "auth: " << std::string(r.name, r.name + wcslen(r.name));
            EXPECT_EQ(bool(signingCertificateFilter(c, nullptr, nullptr)), r.signing);
            EXPECT_EQ(bool(authenticationCertificateFilter(c, nullptr, nullptr)), r.auth);
        }
    }
    CertCloseStore(store, 0);
    EXPECT_EQ(seen, storeTable.size());
}

// The signer through page script: every hash length on both paths, and every
// status of the key's provider, at opening and at signing; each signature
// checked with OpenSSL exactly as page script receives it, and every handle
// released. A certificate whose key the selection would not offer (not on a
// card, none, of another kind) is not found. One lookup over the whole store
// acquires one provider for the identifiers.
TEST(Signer, LengthsAndStatuses)
{
    ASSERT_TRUE(pluginAnswersCng) << "the plugin imports CryptAcquireCertificatePrivateKey from crypt32";
    ASSERT_TRUE(pluginCountsProviders) << "the plugin imports CryptAcquireContextW from advapi32";
    fillStore(storeTable);
    struct Case {
        const wchar_t *certificate;
        size_t size;
        const char *fixture;
        const wchar_t *code, *message; // "0", "" for a signature
    };
    const wchar_t *blocked = L"Maximum number of PIN entry attempts has been reached";
    std::vector<Case> cases = {
        {L"sign-rsa", 28, nullptr, L"5", L"CreateHash failed"}, // no SHA-224 in CryptoAPI
        {L"auth-rsa", 28, nullptr, L"0", L""},
        {L"auth-p384", 32, nullptr, L"5", L"Signing failed"},  // an EC key through CryptoAPI
        {L"usage-nr-client", 32, nullptr, L"0", L""},          // ECDSA through CNG
        {L"usage-nr-client", 48, nullptr, L"0", L""},
        {L"validity-expired", 32, nullptr, L"5", L"Signing failed"}, // found although expired
        {L"demo-sign", 32, nullptr, L"2", L"Cert not found"},        // no key information
        {L"usage-dsnr", 32, nullptr, L"2", L"Cert not found"},       // dwKeySpec 0
        {L"usage-ke", 32, nullptr, L"2", L"Cert not found"},         // dwKeySpec 5
        {L"sign-rsa", 32, "sign-error 0", L"5", L"Signing failed"},  // fails without a reason
        // The PIN prompt of the key's opening. (Wine's crypt32 answers any
        // failed opening of a CryptoAPI key with CRYPT_E_NO_KEY_PROPERTY, so
        // only the CNG path shows the provider's status.)
        {L"auth-rsa", 32, "pin-error 0x4C7", L"1", L"Signing was cancelled"},
        {L"auth-rsa", 32, "pin-error 0x800704C7", L"1", L"Signing was cancelled"},
        {L"auth-rsa", 32, "pin-error 0x8010006E", L"1", L"Signing was cancelled"},
        {L"auth-rsa", 32, "pin-error 0x8010006C", L"24", blocked},
        {L"auth-rsa", 32, "pin-error 0x80090016", L"5", L"Incompatible key"},
        {L"sign-rsa", 19, nullptr, L"17", L"Invalid Hash"},
        {L"sign-rsa", 0, nullptr, L"17", L"Invalid Hash"},
        {L"sign-rsa", 65, nullptr, L"17", L"Invalid Hash"},
    };
    // The same lengths and provider statuses through CryptoAPI (sign-rsa)
    // and through CNG (auth-rsa).
    const Case statuses[] = {
        {nullptr, 32, "sign-error 0x4C7", L"1", L"Signing was cancelled"},
        {nullptr, 32, "sign-error 0x800704C7", L"1", L"Signing was cancelled"},
        {nullptr, 32, "sign-error 0x8010006E", L"1", L"Signing was cancelled"},
        {nullptr, 32, "sign-error 0x8010006C", L"24", blocked},
        {nullptr, 32, "sign-error 0x80090026", L"5", L"The supplied handle is invalid"},
        {nullptr, 32, "sign-error 0x80090020", L"5", L"Signing failed"},
        {nullptr, 32, "acquire-error 0x8010000C", L"2", L"Cert not found"}, // card pulled since selection
        {nullptr, 32, "imptype 2", L"2", L"Cert not found"},                // a key in software
        {nullptr, 32, "imptype 8", L"0", L""},                              // removable storage
    };
    for (const wchar_t *certificate : {L"sign-rsa", L"auth-rsa"}) {
        for (size_t size : {20, 32, 36, 48, 64}) cases.push_back({certificate, size, nullptr, L"0", L""});
        for (Case status : statuses) {
            status.certificate = certificate;
            cases.push_back(status);
        }
    }
    for (const Case &c : cases) {
        const std::string label = std::string(c.certificate, c.certificate + wcslen(c.certificate)) + " " +
                                  std::to_string(c.size) + " " + (c.fixture ? c.fixture : "");
        useFixture(c.fixture ? std::vector<std::string>{c.fixture} : std::vector<std::string>{});
        const Bytes der = pkiDer(c.certificate), hash = hashOf(c.size);
        providersAcquired = 0;
        Answer answer = pageSign(idOf(der), hexText(hash));
        EXPECT_EQ(providersAcquired, std::wstring(c.code) == L"17" ? 0u : 1u) << "identifier providers: " << label;
        EXPECT_EQ(property(answer.object.get(), L"errorCode"), c.code) << label;
        EXPECT_EQ(property(answer.object.get(), L"errorMessage"), c.message) << label;
        if (std::wstring(c.code) == L"0") {
            EXPECT_EQ(answer.hr, S_OK) << label;
            EXPECT_TRUE(verifies(der, hash, fromHexText(answer.text))) << label;
            EXPECT_EQ(answer.text, hexText(fromHexText(answer.text))) << "upper-case hex: " << label;
        } else {
            EXPECT_EQ(answer.hr, DISP_E_EXCEPTION) << label;
            EXPECT_EQ(answer.description, c.message) << label;
        }
        const auto journal = journalLines();
        EXPECT_EQ(countLines(journal, "CPAcquireContext", " ok"), countLines(journal, "CPReleaseContext")) << label;
        EXPECT_EQ(countLines(journal, "CPCreateHash", " ok"), countLines(journal, "CPDestroyHash")) << label;
        EXPECT_EQ(countLines(journal, "NCryptOpenKey", " ok") + countLines(journal, "NCryptOpenStorageProvider"),
                  countLines(journal, "NCryptFreeObject")) << label;
    }
}

// What the CNG path asks of the key: the window property, then PKCS#1
// padding naming the hash's algorithm (none for 36 bytes), or no padding for
// an EC key; a 1024-byte buffer.
TEST(Signer, CngRequests)
{
    ASSERT_TRUE(pluginAnswersCng);
    fillStore(storeTable);
    const struct { const wchar_t *certificate; size_t size; const char *request; } cases[] = {
        {L"auth-rsa", 20, "NCryptSignHash alg=SHA1 padding=pkcs1 flags=2 hash=20 buffer=1024 ok"},
        {L"auth-rsa", 28, "NCryptSignHash alg=SHA224 padding=pkcs1 flags=2 hash=28 buffer=1024 ok"},
        {L"auth-rsa", 32, "NCryptSignHash alg=SHA256 padding=pkcs1 flags=2 hash=32 buffer=1024 ok"},
        {L"auth-rsa", 36, "NCryptSignHash alg=null padding=pkcs1 flags=2 hash=36 buffer=1024 ok"},
        {L"auth-rsa", 48, "NCryptSignHash alg=SHA384 padding=pkcs1 flags=2 hash=48 buffer=1024 ok"},
        {L"auth-rsa", 64, "NCryptSignHash alg=SHA512 padding=pkcs1 flags=2 hash=64 buffer=1024 ok"},
        {L"usage-nr-client", 32, "NCryptSignHash alg=null padding=none flags=0 hash=32 buffer=1024 ok"},
    };
    for (const auto &c : cases) {
        useFixture();
        pageSign(idOf(pkiDer(c.certificate)), hexText(hashOf(c.size)));
        const auto journal = journalLines();
        EXPECT_EQ(countLines(journal, c.request), 1u) << c.request;
        EXPECT_EQ(countLines(journal, "NCryptSetProperty HWND Handle size=8 flags=40 value="), 1u) << c.request;
    }
    // Upper- and lower-case hash text make the same request.
    useFixture();
    std::wstring upper = hexText(hashOf(32)), lower = upper;
    for (wchar_t &ch : lower) ch = towlower(ch);
    EXPECT_EQ(pageSign(idOf(pkiDer(L"sign-rsa")), lower).text, pageSign(idOf(pkiDer(L"sign-rsa")), upper).text);
    EXPECT_EQ(countLines(journalLines(), "CPSignHash keyspec=2 alg=800C hash=" + std::string(upper.begin(), upper.end()) + " ok"), 2u);
}

// Identifiers and bad input: the id rule with a zero byte in the length
// field (two certificates share the id; the one that the page selected
// signs, else the first in store order), an upper-case id, an id in
// full-width digits, absent and empty ids, odd-length and above-0xFF hash
// text.
TEST(Signer, IdentifiersAndBadInput)
{
    ASSERT_TRUE(pluginAnswersCng && pluginAnswersSelections);
    const std::vector<StoreCertificate> rows = {row(L"sign-rsa"), {L"zero-length-a", Key::card, true, false, nullptr},
                                                {L"zero-length-b", Key::card, true, false, nullptr}};
    fillStore(rows);
    useFixture();
    const Bytes a = pkiDer(L"zero-length-a"), b = pkiDer(L"zero-length-b");
    ASSERT_EQ(a[3], 0);
    EXPECT_EQ(idOf(a), idOf(b));
    EXPECT_EQ(idOf(a), idOf(Bytes{0x30, 0x82, 0x05}));
    const Bytes hash = hashOf(32);
    Answer answer = pageSign(idOf(a), hexText(hash));
    ASSERT_EQ(answer.hr, S_OK);
    const auto offered = admitted(rows, false);
    std::vector<size_t> withId; // where a and b are among the offered
    for (size_t i = 0; i < offered.size(); ++i)
        if (offered[i] == a || offered[i] == b) withId.push_back(i);
    ASSERT_EQ(withId.size(), 2u);
    EXPECT_TRUE(verifies(offered[withId[0]], hash, fromHexText(answer.text))) << "the first with the id signs";
    auto page = pagePlugin();
    planSelections({{withId[1], nullptr}});
    ASSERT_EQ(call(page.get(), L"getCertificate", DISPATCH_METHOD).hr, S_OK);
    answer = pageSign(idOf(a), hexText(hash), page);
    EXPECT_TRUE(verifies(offered[withId[1]], hash, fromHexText(answer.text))) << "the selected one signs";

    std::wstring id, upperId, fullWidthId;
    for (char ch : idOf(pkiDer(L"sign-rsa"))) {
        id += wchar_t(ch);
        upperId += wchar_t(toupper(ch));
        fullWidthId += isdigit(ch) ? wchar_t(0xFF10 + (ch - '0')) : wchar_t(ch);
    }
    const struct { std::wstring id; std::wstring hash; const wchar_t *code; const wchar_t *message; } cases[] = {
        {upperId, hexText(hash), L"2", L"Cert not found"},
        {fullWidthId, hexText(hash), L"2", L"Cert not found"},
        {L"", hexText(hash), L"2", L"Cert not found"},
        {std::wstring(4000, L'a'), hexText(hash), L"2", L"Cert not found"},
        {id, hexText(hash) + L"A", L"5", L"Hex is incorrect"}, // odd length
        {id, L"0", L"5", L"Hex is incorrect"},
        {id, std::wstring(200000, L'0'), L"17", L"Invalid Hash"},
    };
    for (const auto &c : cases) {
        const std::string label(c.id.begin(), c.id.begin() + std::min<size_t>(c.id.size(), 40));
        Answer refused = pageSign(c.id, c.hash);
        EXPECT_EQ(refused.hr, DISP_E_EXCEPTION) << label;
        EXPECT_EQ(property(refused.object.get(), L"errorCode"), c.code) << label;
        EXPECT_EQ(refused.description, c.message) << label;
    }
    // Even-length text always decodes: digits are not validated.
    const Answer unchecked = pageSign(idOf(pkiDer(L"sign-rsa")), std::wstring(64, L'x'));
    EXPECT_EQ(unchecked.hr, S_OK);
    EXPECT_TRUE(verifies(pkiDer(L"sign-rsa"), Bytes(32, 0), fromHexText(unchecked.text)));
    // Code units above 0xFF count by their low 8 bits: U+0130 is '0'.
    std::wstring wide = hexText(hash);
    wide[0] = wchar_t(0x100 | wide[0]);
    EXPECT_EQ(pageSign(idOf(pkiDer(L"sign-rsa")), wide).text, pageSign(idOf(pkiDer(L"sign-rsa")), hexText(hash)).text);
}

// Each certificate call returns the certificate object that it created,
// also when page script asks again while the first selection is open.
TEST(Selection, ACallInsideASelectionKeepsEachCallsCertificate)
{
    ASSERT_TRUE(pluginAnswersSelections);
    const std::vector<StoreCertificate> rows = {row(L"sign-rsa"), row(L"usage-dsnr-client")};
    fillStore(rows);
    useFixture();
    const auto offered = admitted(rows, false);
    ASSERT_EQ(offered.size(), 2u);
    auto page = pagePlugin();
    Answer inner;
    planSelections({{0, [&] { inner = call(page.get(), L"getCertificate", DISPATCH_METHOD); }}, {1, nullptr}});
    const Answer outer = call(page.get(), L"getCertificate", DISPATCH_METHOD);
    ASSERT_TRUE(outer.object && inner.object);
    EXPECT_EQ(property(outer.object.get(), L"cert"), hexText(offered[0]));
    EXPECT_EQ(property(inner.object.get(), L"cert"), hexText(offered[1]));
}

// The signer's log lines on both paths, in order (other lines may come
// between them).
TEST(Signer, LogLines)
{
    ASSERT_TRUE(pluginAnswersCng);
    fillStore(storeTable);
    useFixture();
    char temp[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableA("TEMP", temp, MAX_PATH), 0u);
    const std::string log = std::string(temp) + "\\quorvantaplugin.log";
    const std::wstring hash = hexText(hashOf(32));
    const std::string hashText(hash.begin(), hash.end());
    const struct { const wchar_t *certificate; std::vector<std::string> lines; } cases[] = {
        {L"sign-rsa", {"Signing with hash: " + hashText + ", with certId: " + idOf(pkiDer(L"sign-rsa")),
                       "(digest.size() 32", "Cert match check result: matches", "isRSA 1", "spec 2", "gotKey 1",
                       "freeKeyHandle 1", "CryptSignHash() return code: 1 (SUCCESS) 0", "signature.size 256",
                       "Signing ended"}},
        {L"auth-rsa", {"(digest.size() 32", "Cert match check result: matches", "isRSA 1", "spec -1", "gotKey 1",
                       "freeKeyHandle 1", "NCryptSetProperty() return err:(SUCCESS) 0",
                       "NCryptSignHash() return err:(SUCCESS) 0", "signature.size 256",
                       "NCryptFreeObject() return err:(SUCCESS) 0", "Signing ended"}},
    };
    for (const auto &c : cases) {
        std::ofstream(log).close();
        pageSign(idOf(pkiDer(c.certificate)), hash);
        std::ifstream file(log);
        size_t next = 0;
        for (std::string line; std::getline(file, line) && next < c.lines.size();) {
            const size_t at = line.find("] ");
            if (at != std::string::npos && line.substr(at + 2) == c.lines[next]) ++next;
        }
        file.close();
        DeleteFileA(log.c_str());
        EXPECT_EQ(next, c.lines.size()) << "missing or out of order: " << (next < c.lines.size() ? c.lines[next] : "");
    }
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: plugin-card-test PLUGIN PKI-DIR DOUBLES-DIR WORK-DIR\n");
        return 2;
    }
    // Unix paths become paths on Wine's drive Z:.
    auto wide = [](const char *text) {
        std::wstring path(text, text + std::strlen(text));
        if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
        for (wchar_t &c : path) if (c == L'/') c = L'\\';
        return path;
    };
    auto *environment = new CardEnvironment;
    environment->pluginPath = wide(argv[1]);
    pkiDir = wide(argv[2]);
    doublesDir = wide(argv[3]);
    workDir = wide(argv[4]);
    CreateDirectoryW(workDir.c_str(), nullptr);
    testing::AddGlobalTestEnvironment(environment);
    return RUN_ALL_TESTS();
}
