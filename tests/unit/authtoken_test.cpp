// Tests of the authentication token: the Base64 encoders, the exact header
// and payload text, the signing input digest, the error paths of the card
// step, and verification of signed tokens by PyJWT. A software card (an
// OpenSSL key that signs a digest the way a PKCS#11 token does: PKCS #1 v1.5
// over a DigestInfo for RSA, raw r||s ECDSA for EC) stands in for the smart
// card, so the card algorithm itself runs unchanged.
#include "authtoken.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <sstream>

namespace {

using Bytes = std::vector<unsigned char>;
using jwt::error::signature_generation_error;

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
struct BioFree {
    void operator()(BIO *p) const { BIO_free(p); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG *p) const { ECDSA_SIG_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// Base64 decoding by OpenSSL, independent of the encoder under test; accepts
// base64url without fill as well.
std::string decodeBase64(std::string text) {
    for (char &c : text) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    while (text.size() % 4 != 0)
        text += '=';
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                                  reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        throw std::runtime_error("not Base64: " + text);
    size_t fill = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++fill;
    out.resize(static_cast<size_t>(n) - fill);
    return out;
}

std::vector<std::string> splitToken(const std::string &token) {
    std::vector<std::string> parts;
    std::stringstream in(token);
    std::string part;
    while (std::getline(in, part, '.'))
        parts.push_back(part);
    if (!token.empty() && token.back() == '.')
        parts.push_back("");
    return parts;
}

Bytes sha(const std::string &data, const EVP_MD *md) {
    Bytes out(static_cast<size_t>(EVP_MD_size(md)));
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    return out;
}

// A key in software that answers like a token instance: getKeyType() and
// sign(digest, pin). It records what it was asked to sign and can be told to
// fail the way a card does.
class SoftwareCard {
public:
    SoftwareCard(EVP_PKEY *key, CK_KEY_TYPE keyType) : key(key), keyType(keyType) {}

    CK_KEY_TYPE getKeyType() { return keyType; }

    Bytes sign(const Bytes &digest, const char *pin) {
        signedDigests.push_back(digest);
        pinSeen = pin;
        if (failure)
            std::rethrow_exception(failure);
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1)
            throw std::runtime_error("sign init");
        Bytes data = digest;
        if (keyType == CKK_RSA) {
            // What the card manager sends with CKM_RSA_PKCS: the SHA-256
            // DigestInfo, then PKCS #1 v1.5 type 1 padding on the card.
            static const unsigned char sha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                         0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                         0x01, 0x05, 0x00, 0x04, 0x20};
            data.insert(data.begin(), std::begin(sha256Prefix), std::end(sha256Prefix));
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        }
        size_t length = 0;
        if (EVP_PKEY_sign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1)
            throw std::runtime_error("sign length");
        Bytes signature(length);
        if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1)
            throw std::runtime_error("sign");
        signature.resize(length);
        return keyType == CKK_EC ? rawEcdsa(signature) : signature;
    }

    std::exception_ptr failure;
    std::vector<Bytes> signedDigests;
    const char *pinSeen = nullptr;

private:
    // CKM_ECDSA answers r||s, each as wide as the curve order.
    Bytes rawEcdsa(const Bytes &der) const {
        const unsigned char *p = der.data();
        std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
        if (!sig)
            throw std::runtime_error("ECDSA signature");
        const int width = (EVP_PKEY_get_bits(key) + 7) / 8;
        Bytes out(static_cast<size_t>(2 * width));
        BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), width);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + width, width);
        return out;
    }

    EVP_PKEY *key;
    CK_KEY_TYPE keyType;
};

// An algorithm that fails its digest step with a given code.
struct FailingAlgorithm {
    signature_generation_error code;
    std::string name() const { return "RS256"; }
    std::string sign(const std::string &, std::error_code &ec) const {
        ec = code;
        return "never appended";
    }
};

class WrongPinLike : public AuthenticationError {};

const Bytes hash32 = [] {
    Bytes h(32);
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<unsigned char>(0xF0 + i * 7);
    return h;
}();

const std::string origin = "https://example.quorvanta.lv/login";
const char *const pin = "1234";

class AuthTokenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rsaKey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
        ecKey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
    }
    static void TearDownTestSuite() {
        rsaKey.reset();
        ecKey.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(rsaKey);
        ASSERT_TRUE(ecKey);
    }

    static PkeyPtr rsaKey;
    static PkeyPtr ecKey;
};
PkeyPtr AuthTokenTest::rsaKey;
PkeyPtr AuthTokenTest::ecKey;

TEST(JwtBase64, Rfc4648Vectors) {
    struct Case {
        std::string bin, base64, base64url;
    };
    const Case cases[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
        // The two alphabets differ in their last two letters.
        {"\xfb\xff", "+/8=", "-_8"},
        {"\xfb\xef\xbe", "++++", "----"},
        {"\xff\xff\xff", "////", "____"},
        {std::string("\0\0\0\0", 4), "AAAAAA==", "AAAAAA"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(jwt::base::encode<jwt::alphabet::base64>(c.bin), c.base64) << c.base64;
        EXPECT_EQ(jwt::base64url_encode(c.bin), c.base64url) << c.base64url;
    }
}

TEST_F(AuthTokenTest, TokenTextHasTheExactHeaderAndPayload) {
    SoftwareCard card(rsaKey.get(), CKK_RSA);
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string token = buildAuthTokenOn(hash32, origin, card, pin);
    const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();

    const auto parts = splitToken(token);
    ASSERT_EQ(parts.size(), 3u) << token;
    for (const auto &part : parts)
        EXPECT_EQ(part.find_first_of("+/="), std::string::npos) << part;

    EXPECT_EQ(decodeBase64(parts[0]), R"({"alg":"RS256","typ":"quorvanta-token"})");

    const std::string jti = jwt::base::encode<jwt::alphabet::base64>(std::string(hash32.begin(), hash32.end()));
    const std::regex payloadForm(R"re(\{"exp":(\d+),"iat":(\d+),"iss":"quorvanta-token-signing",)re"
                                 R"re("jti":"([^"]*)","origin":"https:\\/\\/example\.quorvanta\.lv\\/login"\})re");
    const std::string payload = decodeBase64(parts[1]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(payload, m, payloadForm)) << payload;
    const long long exp = std::stoll(m[1]), iat = std::stoll(m[2]);
    EXPECT_GE(iat, before);
    EXPECT_LE(iat, after);
    EXPECT_TRUE(exp - iat == 36000 || exp - iat == 35999) << exp - iat;
    EXPECT_EQ(m[3].str(), jti);

    // The card signed the SHA-256 digest of the text before the second ".",
    // once, with the PIN it was given.
    ASSERT_EQ(card.signedDigests.size(), 1u);
    EXPECT_EQ(card.signedDigests[0], sha(parts[0] + "." + parts[1], EVP_sha256()));
    EXPECT_EQ(card.pinSeen, pin);
    EXPECT_EQ(decodeBase64(parts[2]).size(), 256u);
}

TEST(AuthTokenJti, IsBase64OfTheHashWithFill) {
    const std::string jti = jwt::base::encode<jwt::alphabet::base64>(std::string(hash32.begin(), hash32.end()));
    EXPECT_EQ(jti.size(), 44u);
    EXPECT_EQ(jti.find('='), 43u);
    EXPECT_EQ(decodeBase64(jti), std::string(hash32.begin(), hash32.end()));
}

TEST(AuthTokenText, EscapesLikePicojsonCompactText) {
    struct Case {
        std::string origin, written;
    };
    const Case cases[] = {
        {"https://a.lv/b/", R"(https:\/\/a.lv\/b\/)"},
        {"q\"b\\", R"(q\"b\\)"},
        {"\b\f\n\r\t", R"(\b\f\n\r\t)"},
        {std::string("\x00\x01\x1f", 3), R"(\u0000\u0001\u001f)"},
        {"\x7f", R"(\u007f)"},
        {"\x1a\x0b", R"(\u001a\u000b)"},
        // UTF-8 and other high bytes pass through unchanged.
        {"R\xc4\xabga \xd0\x9c\xff", "R\xc4\xabga \xd0\x9c\xff"},
        {" ~", " ~"},
    };
    for (const Case &c : cases) {
        const std::string input = authTokenBuilder(hash32, c.origin).signing_input("RS256");
        const std::string payload = decodeBase64(input.substr(input.find('.') + 1));
        const std::string tail = ",\"origin\":\"" + c.written + "\"}";
        ASSERT_GE(payload.size(), tail.size());
        EXPECT_EQ(payload.substr(payload.size() - tail.size()), tail) << payload;
    }
}

TEST_F(AuthTokenTest, KeyTypeChoosesNameAndDigest) {
    struct Case {
        CK_KEY_TYPE keyType;
        const char *alg;
        const EVP_MD *md;
    };
    const Case cases[] = {
        {CKK_RSA, "RS256", EVP_sha256()},
        {CKK_EC, "ES384", EVP_sha384()},
        {CKK_DSA, "unsupported", EVP_sha256()},
        {CKK_GENERIC_SECRET, "unsupported", EVP_sha256()},
    };
    for (const Case &c : cases) {
        // Only the digest handed to the card matters here; the card fails.
        SoftwareCard card(rsaKey.get(), c.keyType);
        card.failure = std::make_exception_ptr(std::runtime_error("Private key type not supported"));
        std::exception_ptr holder;
        const BasicPkcs11JwtAlgorithm<SoftwareCard> algorithm(card, pin, holder);
        EXPECT_EQ(algorithm.name(), c.alg);
        std::error_code ec;
        EXPECT_EQ(algorithm.sign("header.payload", ec), "");
        EXPECT_FALSE(ec);
        EXPECT_TRUE(holder);
        ASSERT_EQ(card.signedDigests.size(), 1u);
        EXPECT_EQ(card.signedDigests[0], sha("header.payload", c.md)) << c.alg;
    }
}

TEST_F(AuthTokenTest, EcTokenCarriesRawSignatureOf96Bytes) {
    SoftwareCard card(ecKey.get(), CKK_EC);
    const auto parts = splitToken(buildAuthTokenOn(hash32, origin, card, pin));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(decodeBase64(parts[0]), R"({"alg":"ES384","typ":"quorvanta-token"})");
    EXPECT_EQ(decodeBase64(parts[2]).size(), 96u);
}

TEST(AuthTokenErrors, DigestFailureCodesRaiseSignatureGenerationException) {
    const signature_generation_error codes[] = {
        signature_generation_error::create_context_failed,
        signature_generation_error::digestinit_failed,
        signature_generation_error::digestupdate_failed,
        signature_generation_error::digestfinal_failed,
    };
    for (const auto code : codes) {
        std::exception_ptr holder;
        try {
            signAuthToken(authTokenBuilder(hash32, origin), FailingAlgorithm{code}, holder);
            ADD_FAILURE() << "no exception for " << static_cast<int>(code);
        } catch (const jwt::error::signature_generation_exception &e) {
            EXPECT_EQ(e.code(), jwt::error::make_error_code(code));
            EXPECT_NE(std::string(e.what()).find(e.code().message()), std::string::npos) << e.what();
        }
    }
}

TEST_F(AuthTokenTest, CardErrorsAreRethrownWithTheirOwnType) {
    SoftwareCard card(rsaKey.get(), CKK_RSA);

    card.failure = std::make_exception_ptr(AuthenticationError());
    EXPECT_THROW(buildAuthTokenOn(hash32, origin, card, pin), AuthenticationError);

    card.failure = std::make_exception_ptr(WrongPinLike());
    EXPECT_THROW(buildAuthTokenOn(hash32, origin, card, pin), WrongPinLike);

    card.failure = std::make_exception_ptr(AuthenticationBadInput());
    EXPECT_THROW(buildAuthTokenOn(hash32, origin, card, pin), AuthenticationBadInput);

    card.failure = std::make_exception_ptr(UserCanceledError());
    EXPECT_THROW(buildAuthTokenOn(hash32, origin, card, pin), UserCanceledError);
}

// PyJWT, with the distribution's Python where Debian installs it.
class PyJwtVerification : public AuthTokenTest {
protected:
    void SetUp() override {
        AuthTokenTest::SetUp();
#if defined(_WIN32)
        GTEST_SKIP() << "PyJWT runs on the Linux side only";
#else
        for (const char *candidate : {"/usr/bin/python3", "python3"}) {
            const std::string probe = std::string(candidate) + " -c 'import jwt, cryptography' >/dev/null 2>&1";
            if (std::system(probe.c_str()) == 0) {
                python = candidate;
                break;
            }
        }
        if (python.empty())
            GTEST_SKIP() << "python3 with the jwt and cryptography modules is not installed";
        script = findScript();
        if (script.empty())
            GTEST_SKIP() << "tests/jwt/verify_jwt.py not found (set QUORVANTA_SOURCE_DIR)";
        std::random_device random;
        dir = std::filesystem::temp_directory_path() / ("quorvanta-jwt-" + std::to_string(random()));
        std::filesystem::create_directories(dir);
#endif
    }

    void TearDown() override {
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }

    static std::filesystem::path findScript() {
        const std::filesystem::path relative = std::filesystem::path("tests") / "jwt" / "verify_jwt.py";
        std::vector<std::filesystem::path> roots;
#if defined(QUORVANTA_SOURCE_DIR)
        roots.emplace_back(QUORVANTA_SOURCE_DIR);
#endif
        if (const char *env = std::getenv("QUORVANTA_SOURCE_DIR"))
            roots.emplace_back(env);
        // A build tree inside the source tree finds it among its parents.
        for (auto p = std::filesystem::current_path(); !p.empty(); p = p.parent_path()) {
            roots.push_back(p);
            if (p == p.parent_path())
                break;
        }
        for (const auto &root : roots)
            if (std::filesystem::exists(root / relative))
                return root / relative;
        return {};
    }

    // Exit code of the verifier for this token; its complaint goes to `output`.
    int verify(const std::string &token, EVP_PKEY *key, const std::string &alg, const std::string &jti) {
        std::ofstream(dir / "token") << token;
        std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_PUBKEY(bio.get(), key);
        char *pem = nullptr;
        const long n = BIO_get_mem_data(bio.get(), &pem);
        std::ofstream(dir / "key.pem", std::ios::binary).write(pem, n);

        const std::string command = python + " '" + script.string() + "' '" + (dir / "token").string() + "' '" +
                                    (dir / "key.pem").string() + "' " + alg + " '" + jti + "' '" + origin +
                                    "' 2>'" + (dir / "output").string() + "'";
        const int status = std::system(command.c_str());
        std::ifstream in(dir / "output");
        output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return status;
    }

    std::string python;
    std::filesystem::path script;
    std::filesystem::path dir;
    std::string output;
};

TEST_F(PyJwtVerification, AcceptsRs256AndEs384TokensAndRefusesTamperedOnes) {
    const std::string jti = jwt::base::encode<jwt::alphabet::base64>(std::string(hash32.begin(), hash32.end()));
    struct Case {
        EVP_PKEY *key;
        CK_KEY_TYPE keyType;
        const char *alg;
    };
    const Case cases[] = {{rsaKey.get(), CKK_RSA, "RS256"}, {ecKey.get(), CKK_EC, "ES384"}};
    for (const Case &c : cases) {
        SoftwareCard card(c.key, c.keyType);
        const std::string token = buildAuthTokenOn(hash32, origin, card, pin);
        EXPECT_EQ(verify(token, c.key, c.alg, jti), 0) << c.alg << ": " << output;

        // A payload that differs in one claim no longer matches the signature.
        auto parts = splitToken(token);
        const std::string forged = authTokenBuilder(hash32, "https://evil.example").signing_input(c.alg);
        EXPECT_NE(verify(forged + "." + parts[2], c.key, c.alg, jti), 0) << c.alg;
        EXPECT_NE(output.find("InvalidSignatureError"), std::string::npos) << output;
    }
}

} // namespace
