// What the plugin's card tests share: late-bound calls as page script makes
// them, the test keys' fixture and journal, the store table, the CNG answer
// of the key acquisition, a selection dialog answered by the test, and
// signature checks with OpenSSL.
#pragma once

#include "comsupport.h"
#include "latebinding.h"
#include "teststore.h"

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>
#include <vector>

namespace card {

using Bytes = std::vector<unsigned char>;

// Set by main: the plugin, the test PKI and a scratch directory (Windows paths).
extern HMODULE plugin;
extern std::wstring pkiDir, workDir;

// A late-bound call with text arguments.
Answer call(IDispatch *object, const wchar_t *name, WORD flags, const std::vector<std::wstring> &args);
std::wstring property(IDispatch *object, const wchar_t *name);
// A scripting object on a fake https page.
ComPtr<IDispatch> pagePlugin(const wchar_t *url = L"https://quorvanta.lv/sign");

// The doubles' fixture: key directory and journal, plus `extra` lines. The
// journal starts empty.
void useFixture(const std::vector<std::string> &extra = {});
std::vector<std::string> journalLines();
// Lines that begin with `prefix` and end with `suffix`.
size_t countLines(const std::vector<std::string> &lines, const std::string &prefix, const std::string &suffix = "");

// The store's certificates and what the filters must make of them.
struct StoreCertificate {
    const wchar_t *name;      // of the test PKI
    teststore::Key key;
    bool signing, auth;       // offered for signing / for authentication
    const char *fixture;      // a fixture line for its container, or null
};
extern const std::vector<StoreCertificate> storeTable;
std::vector<std::string> fixtureOf(const std::vector<StoreCertificate> &rows);
// Empties the store and adds `rows` in order.
void fillStore(const std::vector<StoreCertificate> &rows);

Bytes readFile(const std::wstring &path);
Bytes pkiDer(const wchar_t *name);
std::string idOf(const Bytes &der);   // MD5 of the bytes before the first zero byte
std::wstring hexText(const Bytes &bytes);
Bytes fromHexText(const std::wstring &text);
// The DER certificates of the store, in the store's own order.
std::vector<Bytes> storeOrder();
// Those of them that `rows` offer for signing, or with `auth` for
// authentication.
std::vector<Bytes> admitted(const std::vector<StoreCertificate> &rows, bool auth);

// Whether `signature` is a valid signature over `hash` by the certificate's
// key: RSA PKCS#1 v1.5 with the DigestInfo of the hash length (none for 36
// bytes), or ECDSA r||s.
bool verifies(const Bytes &certificate, const Bytes &hash, const Bytes &signature);

// Redirects `module`'s import of crypt32!CryptAcquireCertificatePrivateKey so
// that certificates whose key information names a CNG provider (type 0) get a
// key opened through the system's ncrypt.dll, dwKeySpec CERT_NCRYPT_KEY_SPEC,
// as Windows gives them. Others go to crypt32. False when there is no import.
bool answerCngKeys(HMODULE module);

// The selection dialog answered by the test: `module`'s import of
// cryptui!CryptUIDlgSelectCertificateW takes the next of the planned answers.
// It runs `during` (page script running while the dialog is open), then
// returns the certificate at `pick` among those of the store that the
// request's filter admits, in the store's order (none when the pick is out
// of range). Without a planned answer the system's dialog opens. False when
// there is no import.
struct SelectionAnswer {
    size_t pick;
    std::function<void()> during;
};
bool answerSelections(HMODULE module);
void planSelections(const std::vector<SelectionAnswer> &answers);

} // namespace card
