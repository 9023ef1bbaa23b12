// The authentication token of the "jwt" operation: a JSON Web Token that
// carries one hash value, the requesting origin and a ten-hour validity
// window, signed on the card with the authentication key. The card step is a
// JWT algorithm object (Pkcs11JwtAlgorithm) that digests the signing input
// with OpenSSL and has the card sign the digest; an error raised by the card
// is kept aside and rethrown unchanged once the builder returns, so that a
// wrong PIN reaches the signer as the card's own AuthenticationError.
#pragma once

#include "jwt.h"
#include "pkcs11cardmanager.h"

#include <exception>
#include <string>
#include <system_error>
#include <vector>

// "RS256" for CKK_RSA, "ES384" for CKK_EC, "unsupported" for any other type.
const char *jwtAlgorithmName(CK_KEY_TYPE keyType);

// The digest a key of this type signs: SHA-384 for CKK_EC, SHA-256 for every
// other type. On a failure of the OpenSSL digest ec is set to
// create_context_failed or digestinit/update/final_failed and the result is
// empty.
std::vector<unsigned char> jwtDigest(const std::string &input, CK_KEY_TYPE keyType, std::error_code &ec);

// The JWT algorithm that signs on a card. Card is PKCS11CardManager in the
// host; anything with getKeyType() and sign(digest, pin) will do.
template <typename Card>
class BasicPkcs11JwtAlgorithm {
public:
    BasicPkcs11JwtAlgorithm(Card &cardManager, const char *pin, std::exception_ptr &errorHolder)
        : cardManager(cardManager), pin(pin), errorHolder(errorHolder) {}

    std::string name() const { return jwtAlgorithmName(cardManager.getKeyType()); }

    // The card's signature of the input's digest as a byte string. An error
    // of the card step goes to the error holder, leaving ec clear.
    std::string sign(const std::string &input, std::error_code &ec) const {
        ec = jwt::error::signature_generation_error::ok;
        const std::vector<unsigned char> digest = jwtDigest(input, cardManager.getKeyType(), ec);
        if (ec)
            return {};
        try {
            const std::vector<unsigned char> signature = cardManager.sign(digest, pin);
            return std::string(signature.begin(), signature.end());
        } catch (const std::exception &) {
            errorHolder = std::current_exception();
            return {};
        }
    }

private:
    Card &cardManager;
    const char *pin;
    std::exception_ptr &errorHolder;
};

using Pkcs11JwtAlgorithm = BasicPkcs11JwtAlgorithm<PKCS11CardManager>;

// Header "typ" and payload "iss", "jti" (Base64 of the hash), "iat", "exp"
// (36000 s later) and "origin"; the clock is read when this is called.
jwt::builder authTokenBuilder(const std::vector<unsigned char> &hash, const std::string &origin);

// Signs the builder's token; raises jwt::error::signature_generation_exception
// when the algorithm set an error code, else rethrows what the error holder
// caught, else returns the token text.
template <typename Algorithm>
std::string signAuthToken(const jwt::builder &builder, const Algorithm &algorithm,
                          const std::exception_ptr &errorHolder) {
    std::string token = builder.sign(algorithm);
    if (errorHolder)
        std::rethrow_exception(errorHolder);
    return token;
}

// The authentication token for one hash value, signed on any card type.
template <typename Card>
std::string buildAuthTokenOn(const std::vector<unsigned char> &hash, const std::string &origin, Card &card,
                             const char *pin) {
    const jwt::builder builder = authTokenBuilder(hash, origin);
    std::exception_ptr errorHolder;
    const BasicPkcs11JwtAlgorithm<Card> algorithm(card, pin, errorHolder);
    return signAuthToken(builder, algorithm, errorHolder);
}

// The authentication token for one hash value; rethrows the card's error unchanged.
std::string buildAuthToken(const std::vector<unsigned char> &hash, const std::string &origin,
                           PKCS11CardManager &card, const char *pin);
