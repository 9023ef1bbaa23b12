// The identifier by which page script names a certificate: the MD5 digest of
// the DER bytes that come before the first zero byte (all of them when there
// is none), as 32 lower-case hexadecimal digits. The certificate object
// computes it for the selected certificate and the signer for every store
// certificate, so both use this one function.
#pragma once

#include <cstddef>
#include <string>

// Computed with CryptoAPI; fails with TechnicalException when it cannot be.
std::string certificateId(const unsigned char *der, std::size_t length);
