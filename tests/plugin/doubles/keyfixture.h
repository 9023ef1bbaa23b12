// What the two test key doubles (the CryptoAPI provider and ncrypt.dll) read
// from their fixture file, and the real RSA and ECDSA signing they share.
// The file is read again each time a container or key is opened, so a test
// changes the behaviour of the next signing by rewriting it.
//
// One statement per line; '#' starts a comment line; numbers are decimal or
// 0x-hex. A statement with a container name applies to that container only
// and wins over one without.
//   keys <dir>                           container NAME's key is <dir>\NAME.key.pem
//   journal <file>                       append one line per call to <file>
//   imptype <n> [<container>]            implementation type reported (default 9:
//                                        hardware and removable)
//   acquire-error <code> [<container>]   opening the container fails with code
//                                        (a card that is not inserted)
//   pin-error <code> [<container>]       opening it other than silently fails with
//                                        code (its PIN prompt cancelled, the PIN
//                                        blocked)
//   sign-error <code> [<container>]      signing fails with code (last error of
//                                        CPSignHash, which fails even with 0;
//                                        status of NCryptSignHash)
#pragma once

#include <windows.h>

#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace keydouble {

using Bytes = std::vector<unsigned char>;

struct Settings {
    std::string keys, journal;
    DWORD imptype = 9, acquireError = 0, pinError = 0, signError = 0;
    bool signFails = false; // sign-error given, even 0
};

// The settings that hold for `container`, from the file named by `variable`.
// Also keeps the double loaded for good: OpenSSL, linked in statically, leaves
// exit handlers behind that must not outlive the module when its loader
// frees it after the last handle.
inline Settings readSettings(const char *variable, const std::string &container)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&readSettings), &self);
    Settings settings;
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA(variable, path, sizeof path)) return settings;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string word, value, scope;
        if (!(words >> word >> value) || word[0] == '#') continue;
        words >> scope;
        if (!scope.empty() && scope != container) continue;
        const DWORD number = DWORD(std::strtoul(value.c_str(), nullptr, 0));
        if (word == "keys") settings.keys = value;
        else if (word == "journal") settings.journal = value;
        else if (word == "imptype") settings.imptype = number;
        else if (word == "acquire-error") settings.acquireError = number;
        else if (word == "pin-error") settings.pinError = number;
        else if (word == "sign-error") settings.signError = number, settings.signFails = true;
    }
    return settings;
}

inline void journal(const Settings &settings, const char *format, ...)
{
    if (settings.journal.empty()) return;
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(settings.journal.c_str(), "a"), std::fclose);
    if (!file) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file.get(), format, args);
    va_end(args);
    std::fputc('\n', file.get());
}

struct PkeyFree { void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The container's private key, or none.
Pkey loadKey(const Settings &settings, const std::string &container);

// The DigestInfo prefix for a digest name ("SHA1" ... "SHA512"); empty for
// none. `known` tells whether the name was one of them.
Bytes digestInfo(const std::wstring &name, bool *known = nullptr);

// PKCS#1 v1.5 (type 1) over `data` for an RSA key; r||s of the curve's size
// for an EC key (data is the hash). Big-endian, as OpenSSL makes it. Empty on
// failure.
Bytes sign(EVP_PKEY *key, const Bytes &data);

inline std::string hex(const unsigned char *data, size_t size)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", data[i]);
        text += pair;
    }
    return text;
}

// "ok", or "error=<hex code>" for journal lines (also for a call that
// `failed` with code 0).
inline std::string outcome(DWORD code, bool failed = false)
{
    char text[24];
    std::snprintf(text, sizeof text, "error=%lX", static_cast<unsigned long>(code));
    return code || failed ? text : "ok";
}

} // namespace keydouble
