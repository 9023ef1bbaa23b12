// plugin-test-store: sets up the Wine prefix's personal store for the IE
// plugin's demo and by-hand checks, with the test key provider behind it.
//   plugin-test-store register-provider <provider.dll>
//   plugin-test-store clear
//   plugin-test-store add <certificate.der> <card|card-exchange|cng|none> [<container>]
//   plugin-test-store key-access <allow|deny-write|deny-all> <HKLM|HKCU\key>...
// Paths are Windows paths (Z:\...). Exit code 0 on success, 1 with a message
// on failure, 2 for bad usage.
//
// key-access stands in for a user without rights to a key: Wine checks a
// key's access list only when the key itself is opened (never when a new
// subkey is created), so deny-write refuses opening the key to set values,
// create subkeys or delete it, deny-all also refuses reading it (and with
// that deleting its tree), and allow gives everyone all access again.
#include "teststore.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

void setKeyAccess(const std::wstring &access, const std::wstring &key)
{
    const wchar_t *sddl = access == L"allow"        ? L"D:(A;;KA;;;WD)"
                          : access == L"deny-write" ? L"D:(D;;0x10006;;;WD)(A;;KA;;;WD)"
                          : access == L"deny-all"   ? L"D:(D;;0x1001F;;;WD)(A;;KA;;;WD)"
                                                    : nullptr;
    const std::size_t slash = key.find(L'\\');
    const std::wstring hive = key.substr(0, slash);
    HKEY root = hive == L"HKLM" ? HKEY_LOCAL_MACHINE : hive == L"HKCU" ? HKEY_CURRENT_USER : nullptr;
    if (!sddl || !root || slash == std::wstring::npos) throw std::invalid_argument("bad key-access arguments");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        throw std::runtime_error("bad security descriptor");
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(root, key.c_str() + slash + 1, 0, WRITE_DAC | KEY_WOW64_64KEY, &opened);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(opened);
    }
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("setting the access of a key failed: " + std::to_string(status));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    try {
        if (command == L"register-provider" && argc == 3) {
            teststore::registerCardProvider(argv[2]);
        } else if (command == L"clear" && argc == 2) {
            teststore::clearStore();
        } else if (command == L"add" && (argc == 4 || argc == 5)) {
            const std::wstring kind = argv[3];
            const teststore::Key key = kind == L"card"            ? teststore::Key::card
                                       : kind == L"card-exchange" ? teststore::Key::cardExchange
                                       : kind == L"cng"           ? teststore::Key::cng
                                                                  : teststore::Key::none;
            teststore::addCertificate(argv[2], key, argc == 5 ? argv[4] : L"");
        } else if (command == L"key-access" && argc >= 4) {
            for (int i = 3; i < argc; ++i) setKeyAccess(argv[2], argv[i]);
        } else {
            std::fputs("usage: plugin-test-store register-provider DLL | clear | add DER KEY [CONTAINER]"
                       " | key-access allow|deny-write|deny-all KEY...\n", stderr);
            return 2;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "plugin-test-store: %s\n", e.what());
        return 1;
    }
    return 0;
}
