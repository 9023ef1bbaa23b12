// The certificate that answers a CERT request: consent first, then the first
// token that holds a certificate of the wanted kind.
#pragma once

#include <string>

class CertificateSelection {
public:
    // Upper-case hex of the certificate's DER bytes. Throws
    // UserCancelledException when consent is refused and
    // NoCertificatesException when no token has a suitable certificate.
    static std::string getCertPKCS11(bool forAuth, const std::string &origin);
};
