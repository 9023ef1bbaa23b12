// Carries out one SIGN request on the card that holds the requested
// certificate: hash checks, the PIN dialog and its retry loop, one signature
// per hash (or the authentication token for "jwt").
#pragma once

#include "jsonxx.h"

#include <cstddef>
#include <memory>
#include <string>

class PKCS11CardManager;

class Signer {
public:
    Signer(const jsonxx::Value &hash, const std::string &origin, const std::string &cert,
           bool isAuth, bool isJwt)
        : hash(hash), origin(origin), cert(cert), isAuth(isAuth), isJwt(isJwt) {}
    virtual ~Signer() = default;
    virtual jsonxx::Value sign() = 0;

protected:
    jsonxx::Value hash;
    std::string origin;
    std::string cert;
    bool isAuth;
    bool isJwt;
};

class Pkcs11Signer : public Signer {
public:
    // Binds the signer to the token that holds `cert`; throws
    // InvalidArgumentException "No card manager found for this certificate".
    Pkcs11Signer(const jsonxx::Value &hash, const std::string &origin, const std::string &cert,
                 bool isAuth, bool isJwt);
    ~Pkcs11Signer() override;

    jsonxx::Value sign() override;

    // Refuses with InvalidHashException what no card could sign: no hashes,
    // a member that is not a string, or hex text that is not a whole number
    // of bytes of a supported hash size. Needs nothing but the request.
    static void validateHashLength(const jsonxx::Value &hash, bool isAuth);

private:
    std::unique_ptr<PKCS11CardManager> getCardManager();
    static jsonxx::Object getHashes(const jsonxx::Value &hash);
    jsonxx::Value askPinAndSignHash();

    bool wrongPin = false;
    std::unique_ptr<PKCS11CardManager> cardManager;
};

std::unique_ptr<Signer> getSigner(const jsonxx::Value &hash, const std::string &origin,
                                  const std::string &cert, bool isAuth, bool isJwt);

// The length in bytes of each signature that the key of this certificate (hex
// DER) makes; 0 when the text is no certificate, which no card then holds.
std::size_t signatureLengthOfCertificate(const std::string &cert);
