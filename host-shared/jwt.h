// A small JSON Web Token builder: header and payload claims held as picojson
// values, written as compact JSON text, joined in base64url and signed by an
// algorithm object supplied by the caller (anything with name() and
// sign(input, std::error_code &)). It offers only what the host's
// authentication token needs, under the names the jwt-cpp library uses, so
// the calling code reads the same as with that library.
#pragma once

// Integers must be written as integers ("exp", "iat"); picojson keeps them as
// int64 only with this switch, which every user of picojson in the host must
// share.
#if defined(picojson_h) && !defined(PICOJSON_USE_INT64)
#error "picojson.h was included without PICOJSON_USE_INT64; include jwt.h first"
#endif
#ifndef PICOJSON_USE_INT64
#define PICOJSON_USE_INT64
#endif
#include <picojson.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

namespace jwt {

namespace error {

enum class signature_generation_error {
    ok = 0,
    hmac_failed = 10,
    create_context_failed,
    signinit_failed,
    signupdate_failed,
    signfinal_failed,
    ecdsa_do_sign_failed,
    digestinit_failed,
    digestupdate_failed,
    digestfinal_failed,
    rsa_padding_failed,
    rsa_private_encrypt_failed,
    get_key_failed,
    set_rsa_pss_saltlen_failed,
    signature_decoding_failed,
};

const std::error_category &signature_generation_error_category();
std::error_code make_error_code(signature_generation_error e);

// Raised by builder::sign when the algorithm reported an error code.
struct signature_generation_exception : public std::system_error {
    using std::system_error::system_error;
};

} // namespace error

} // namespace jwt

namespace std {
template <>
struct is_error_code_enum<jwt::error::signature_generation_error> : true_type {};
} // namespace std

namespace jwt {

namespace alphabet {
// RFC 4648 section 4, filled up with "=".
struct base64 {
    static const char *data() { return "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"; }
    static const std::string &fill() {
        static const std::string f = "=";
        return f;
    }
};
// RFC 4648 section 5. Its fill is the URL-escaped "="; tokens carry no fill
// at all (base::trim).
struct base64url {
    static const char *data() { return "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"; }
    static const std::string &fill() {
        static const std::string f = "%3d";
        return f;
    }
};
} // namespace alphabet

namespace base {
namespace details {
std::string encode(const std::string &bin, const char *alphabet, const std::string &fill);
std::string trim(const std::string &text, const std::string &fill);
} // namespace details

// Any byte string (embedded zero bytes included) as text of the alphabet.
template <typename Alphabet>
std::string encode(const std::string &bin) {
    return details::encode(bin, Alphabet::data(), Alphabet::fill());
}

// The encoded text without its trailing fill.
template <typename Alphabet>
std::string trim(const std::string &text) {
    return details::trim(text, Alphabet::fill());
}
} // namespace base

// base64url without fill, the encoding of each of a token's three parts.
inline std::string base64url_encode(const std::string &bin) {
    return base::trim<alphabet::base64url>(base::encode<alphabet::base64url>(bin));
}

using date = std::chrono::system_clock::time_point;

// One claim value: a string, or a date written as whole seconds since the
// Unix epoch (fraction cut off).
class claim {
public:
    explicit claim(std::string text) : value(std::move(text)) {}
    explicit claim(date when)
        : value(static_cast<int64_t>(
              std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count())) {}

    const picojson::value &to_json() const { return value; }

private:
    picojson::value value;
};

class builder {
public:
    builder &set_header_claim(const std::string &name, const claim &c) {
        header_claims[name] = c.to_json();
        return *this;
    }
    builder &set_payload_claim(const std::string &name, const claim &c) {
        payload_claims[name] = c.to_json();
        return *this;
    }
    builder &set_type(const std::string &type) { return set_header_claim("typ", claim(type)); }
    builder &set_issuer(const std::string &issuer) { return set_payload_claim("iss", claim(issuer)); }
    builder &set_id(const std::string &id) { return set_payload_claim("jti", claim(id)); }
    builder &set_issued_at(const date &when) { return set_payload_claim("iat", claim(when)); }
    builder &set_expires_at(const date &when) { return set_payload_claim("exp", claim(when)); }

    // The signing input: base64url of the header text (with "alg" = algName
    // added to a copy unless the header has its own), ".", base64url of the
    // payload text.
    std::string signing_input(const std::string &algName) const;

    // The token text, or empty text with ec set when the algorithm failed.
    template <typename Algorithm>
    std::string sign(const Algorithm &algorithm, std::error_code &ec) const {
        const std::string input = signing_input(algorithm.name());
        const std::string signature = algorithm.sign(input, ec);
        if (ec)
            return {};
        return input + "." + base64url_encode(signature);
    }

    // As above, raising signature_generation_exception with the code instead.
    template <typename Algorithm>
    std::string sign(const Algorithm &algorithm) const {
        std::error_code ec;
        std::string token = sign(algorithm, ec);
        if (ec) {
            if (ec.category() == error::signature_generation_error_category())
                throw error::signature_generation_exception(ec);
            throw std::system_error(ec);
        }
        return token;
    }

private:
    picojson::object header_claims;
    picojson::object payload_claims;
};

inline builder create() { return builder(); }

} // namespace jwt
