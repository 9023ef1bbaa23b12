// plugin-test-store: sets up the Wine prefix's personal store for the IE
// plugin's demo and by-hand checks, with the test key provider behind it.
//   plugin-test-store register-provider <provider.dll>
//   plugin-test-store clear
//   plugin-test-store add <certificate.der> <card|card-exchange|cng|none> [<container>]
// Paths are Windows paths (Z:\...). Exit code 0 on success, 1 with a message
// on failure, 2 for bad usage.
#include "teststore.h"

#include <cstdio>
#include <exception>
#include <string>

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
        } else {
            std::fputs("usage: plugin-test-store register-provider DLL | clear | add DER KEY [CONTAINER]\n", stderr);
            return 2;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "plugin-test-store: %s\n", e.what());
        return 1;
    }
    return 0;
}
