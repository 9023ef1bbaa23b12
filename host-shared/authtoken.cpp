// The authentication token: its claims, the digest that the card signs and
// the token building step of the "jwt" operation.
#include "authtoken.h"

#include <openssl/evp.h>

#include <chrono>
#include <memory>

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The token is valid for ten hours from the moment it was built.
constexpr std::chrono::seconds tokenLifetime{36000};

} // namespace

const char *jwtAlgorithmName(CK_KEY_TYPE keyType) {
    switch (keyType) {
    case CKK_RSA:
        return "RS256";
    case CKK_EC:
        return "ES384";
    default:
        return "unsupported";
    }
}

std::vector<unsigned char> jwtDigest(const std::string &input, CK_KEY_TYPE keyType, std::error_code &ec) {
    using jwt::error::signature_generation_error;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) {
        ec = signature_generation_error::create_context_failed;
        return {};
    }
    const EVP_MD *md = keyType == CKK_EC ? EVP_sha384() : EVP_sha256();
    if (EVP_DigestInit(ctx.get(), md) != 1) {
        ec = signature_generation_error::digestinit_failed;
        return {};
    }
    if (EVP_DigestUpdate(ctx.get(), input.data(), input.size()) != 1) {
        ec = signature_generation_error::digestupdate_failed;
        return {};
    }
    std::vector<unsigned char> digest(static_cast<size_t>(EVP_MD_size(md)));
    unsigned int length = 0;
    if (EVP_DigestFinal(ctx.get(), digest.data(), &length) != 1) {
        ec = signature_generation_error::digestfinal_failed;
        return {};
    }
    digest.resize(length);
    return digest;
}

jwt::builder authTokenBuilder(const std::vector<unsigned char> &hash, const std::string &origin) {
    const std::string jti = jwt::base::encode<jwt::alphabet::base64>(std::string(hash.begin(), hash.end()));
    const auto expiresAt = std::chrono::system_clock::now() + tokenLifetime;
    const auto issuedAt = std::chrono::system_clock::now();
    jwt::builder builder = jwt::create();
    builder.set_issuer("quorvanta-token-signing")
        .set_type("quorvanta-token")
        .set_id(jti)
        .set_issued_at(issuedAt)
        .set_expires_at(expiresAt)
        .set_payload_claim("origin", jwt::claim(origin));
    return builder;
}

std::string buildAuthToken(const std::vector<unsigned char> &hash, const std::string &origin,
                           PKCS11CardManager &card, const char *pin) {
    return buildAuthTokenOn(hash, origin, card, pin);
}
