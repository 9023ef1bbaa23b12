// CngCapiSigner: signs one hash with the private key of the personal-store
// certificate that an identifier names, through CNG or CryptoAPI as the key's
// provider requires. One signer serves one signing call.
#pragma once

#include "certificateid.h"
#include "crypto_win.h"
#include "hex.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

class CngCapiSigner {
public:
    // `hash` is hexadecimal text in either case; `certId` an identifier as
    // the certificate object gives it; `selected` the DER of the certificate
    // that the page last selected, which wins over others with the same id.
    CngCapiSigner(const std::string &hash, const std::string &certId, const ByteVec &selected = {});

    // The signature in upper-case hexadecimal. Fails with the error kinds of
    // the signer, or std::runtime_error "Hex is incorrect" for a hash text of
    // odd length.
    std::string sign();

private:
    std::string hash;
    std::string certId;
    ByteVec selected;
};

// The certificate of `store` whose identifier is `certId` and whose key is on
// a card, as the selection dialog requires: of several, the one whose DER is
// `selected`, else the first in the store's order. Any other certificate is
// not found, exactly as an unknown id: fails with NoCertificatesException.
CertContext findCertificateById(const std::string &certId, HCERTSTORE store, const ByteVec &selected = {});

// Whether the certificate's identifier is `certId`, exactly.
bool certificateMatchesId(PCCERT_CONTEXT certificate, const std::string &certId, const CertificateIdHasher &hasher);
