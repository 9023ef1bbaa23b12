// Writes one consent through the registry consent store, as the host does:
// consentwriter ORIGIN UNTIL. Exit code 0 when written.
#include "consentstore.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: consentwriter ORIGIN UNTIL\n");
        return 2;
    }
    try {
        openConsentStore()->writeConsent(argv[1], std::stoll(argv[2]));
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
