// The non-template parts of the token builder: the signature generation
// error category with its messages, the Base64 encoders and the compact JSON
// text of header and payload.
#include "jwt.h"

namespace jwt {

namespace error {

namespace {

class SignatureGenerationCategory : public std::error_category {
public:
    const char *name() const noexcept override { return "signature_generation_error"; }

    std::string message(int ev) const override {
        switch (static_cast<signature_generation_error>(ev)) {
        case signature_generation_error::ok:
            return "no error";
        case signature_generation_error::hmac_failed:
            return "hmac failed";
        case signature_generation_error::create_context_failed:
            return "failed to create signature: could not create context";
        case signature_generation_error::signinit_failed:
            return "failed to create signature: SignInit failed";
        case signature_generation_error::signupdate_failed:
            return "failed to create signature: SignUpdate failed";
        case signature_generation_error::signfinal_failed:
            return "failed to create signature: SignFinal failed";
        case signature_generation_error::ecdsa_do_sign_failed:
            return "failed to generate ecdsa signature";
        case signature_generation_error::digestinit_failed:
            return "failed to create signature: DigestInit failed";
        case signature_generation_error::digestupdate_failed:
            return "failed to create signature: DigestUpdate failed";
        case signature_generation_error::digestfinal_failed:
            return "failed to create signature: DigestFinal failed";
        case signature_generation_error::rsa_padding_failed:
            return "failed to create signature: EVP_PKEY_CTX_set_rsa_padding failed";
        case signature_generation_error::rsa_private_encrypt_failed:
            return "failed to create signature: RSA_private_encrypt failed";
        case signature_generation_error::get_key_failed:
            return "failed to generate signature: Could not get key";
        case signature_generation_error::set_rsa_pss_saltlen_failed:
            return "failed to create signature: EVP_PKEY_CTX_set_rsa_pss_saltlen failed";
        case signature_generation_error::signature_decoding_failed:
            return "failed to create signature: failed to decode signature";
        }
        return "unknown signature generation error";
    }
};

} // namespace

const std::error_category &signature_generation_error_category() {
    static const SignatureGenerationCategory category;
    return category;
}

std::error_code make_error_code(signature_generation_error e) {
    return {static_cast<int>(e), signature_generation_error_category()};
}

} // namespace error

namespace base {
namespace details {

std::string encode(const std::string &bin, const char *alphabet, const std::string &fill) {
    std::string out;
    out.reserve((bin.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bin.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bin[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bin[i + 1])) << 8 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bin[i + 2]));
        out += alphabet[(v >> 18) & 0x3F];
        out += alphabet[(v >> 12) & 0x3F];
        out += alphabet[(v >> 6) & 0x3F];
        out += alphabet[v & 0x3F];
    }
    const size_t rest = bin.size() - i;
    if (rest == 0)
        return out;
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bin[i])) << 16;
    if (rest == 2)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(bin[i + 1])) << 8;
    out += alphabet[(v >> 18) & 0x3F];
    out += alphabet[(v >> 12) & 0x3F];
    if (rest == 2) {
        out += alphabet[(v >> 6) & 0x3F];
        out += fill;
    } else {
        out += fill;
        out += fill;
    }
    return out;
}

std::string trim(const std::string &text, const std::string &fill) {
    std::string out = text;
    while (!fill.empty() && out.size() >= fill.size() &&
           out.compare(out.size() - fill.size(), fill.size(), fill) == 0)
        out.erase(out.size() - fill.size());
    return out;
}

} // namespace details
} // namespace base

std::string builder::signing_input(const std::string &algName) const {
    // A copy, so that one builder can sign more than once.
    picojson::object header = header_claims;
    if (header.count("alg") == 0)
        header["alg"] = picojson::value(algName);
    // picojson's compact text: members sorted by name, no whitespace, "/"
    // written as "\/", other control bytes and 0x7F as \u00xx.
    const std::string headerText = picojson::value(header).serialize();
    const std::string payloadText = picojson::value(payload_claims).serialize();
    return base64url_encode(headerText) + "." + base64url_encode(payloadText);
}

} // namespace jwt
