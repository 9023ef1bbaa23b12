// The identifier by which page script names a certificate: the MD5 digest of
// the DER bytes that come before the first zero byte (all of them when there
// is none), as 32 lower-case hexadecimal digits. The certificate object
// computes it for the selected certificate and the signer for every store
// certificate, so both use this one function.
#pragma once

#include "crypto_win.h"

#include <cstddef>
#include <string>

// Identifiers computed with CryptoAPI through one provider, acquired once, so
// a lookup over the whole store costs one acquisition. Fails with
// TechnicalException when an identifier cannot be computed.
class CertificateIdHasher {
public:
    CertificateIdHasher();
    std::string operator()(const unsigned char *der, std::size_t length) const;

private:
    CryptProvider provider;
};

// One identifier.
std::string certificateId(const unsigned char *der, std::size_t length);
