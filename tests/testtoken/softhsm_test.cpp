// Checks the SoftHSM2 scenarios of scripts/make-softhsm-tokens.sh through the
// bare module name, as the host will see them: the tokens in the promised
// order, each certificate with one private and one public key of the right
// type under its CKA_ID, the documented PINs, and keys that sign.
#include "moduleloader.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

struct Certificate {
    const char *name; // file name in the test PKI
    unsigned char id;
    CK_KEY_TYPE keyType;
};

struct Token {
    const char *label;
    std::vector<Certificate> certificates;
};

struct Scenario {
    const char *name;
    const char *pin;
    std::vector<Token> tokens; // in slot list order
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class SoftHsmTest : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override
    {
        const char *softhsm = std::getenv("QUORVANTA_SOFTHSM_DIR");
        const char *pkiDir = std::getenv("QUORVANTA_TEST_PKI");
        ASSERT_TRUE(softhsm && pkiDir) << "QUORVANTA_SOFTHSM_DIR and QUORVANTA_TEST_PKI";
        pki = pkiDir;
        testtoken::setEnvironment("SOFTHSM2_CONF",
                                  (fs::path(softhsm) / GetParam().name / "softhsm2.conf").string());
        f = testtoken::loadModule();
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        initialized = true;
    }

    void TearDown() override
    {
        if (initialized) {
            EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
        }
    }

    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, CK_OBJECT_CLASS objectClass,
                                       unsigned char id)
    {
        CK_ATTRIBUTE templ[2] = { { CKA_CLASS, &objectClass, sizeof objectClass },
                                  { CKA_ID, &id, 1 } };
        std::vector<CK_OBJECT_HANDLE> found;
        EXPECT_EQ(f->C_FindObjectsInit(s, templ, 2), CKR_OK);
        CK_OBJECT_HANDLE handle;
        CK_ULONG count = 0;
        while (f->C_FindObjects(s, &handle, 1, &count) == CKR_OK && count == 1)
            found.push_back(handle);
        EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
        return found;
    }

    Bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
    {
        CK_ATTRIBUTE a = { type, nullptr, 0 };
        EXPECT_EQ(f->C_GetAttributeValue(s, object, &a, 1), CKR_OK);
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(f->C_GetAttributeValue(s, object, &a, 1), CKR_OK);
        return value;
    }

    CK_KEY_TYPE keyType(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object)
    {
        Bytes value = attribute(s, object, CKA_KEY_TYPE);
        CK_KEY_TYPE type = ~CK_KEY_TYPE(0);
        if (value.size() == sizeof type)
            std::memcpy(&type, value.data(), sizeof type);
        return type;
    }

    CK_FUNCTION_LIST *f = nullptr;
    fs::path pki;
    bool initialized = false;
};

Bytes readBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The card signs a SHA-256 DigestInfo (RSA) or the bare hash (EC); the
// certificate's public key must verify it.
void expectSignatureVerifies(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key,
                             CK_KEY_TYPE type, const Bytes &certificate)
{
    const Bytes sha256Prefix = { 0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20 };
    Bytes hash(32, 0x42);
    Bytes data = type == CKK_RSA ? sha256Prefix : Bytes();
    data.insert(data.end(), hash.begin(), hash.end());
    CK_MECHANISM mechanism = { type == CKK_RSA ? CKM_RSA_PKCS : CKM_ECDSA, nullptr, 0 };
    ASSERT_EQ(f->C_SignInit(s, &mechanism, key), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(f->C_Sign(s, data.data(), data.size(), nullptr, &length), CKR_OK);
    Bytes sig(length);
    ASSERT_EQ(f->C_Sign(s, data.data(), data.size(), sig.data(), &length), CKR_OK);
    sig.resize(length);

    const unsigned char *p = certificate.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(certificate.size())), &X509_free);
    ASSERT_TRUE(cert);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr), &EVP_PKEY_CTX_free);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
    if (type == CKK_RSA) {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    } else {
        // r||s to DER.
        std::size_t half = sig.size() / 2;
        ECDSA_SIG *ecdsa = ECDSA_SIG_new();
        ECDSA_SIG_set0(ecdsa, BN_bin2bn(sig.data(), static_cast<int>(half), nullptr),
                       BN_bin2bn(sig.data() + half, static_cast<int>(half), nullptr));
        unsigned char *der = nullptr;
        int derLength = i2d_ECDSA_SIG(ecdsa, &der);
        ECDSA_SIG_free(ecdsa);
        sig.assign(der, der + derLength);
        OPENSSL_free(der);
    }
    EXPECT_EQ(EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()), 1);
}

TEST_P(SoftHsmTest, TokensHoldTheirCertificatesAndKeys)
{
    const Scenario &scenario = GetParam();
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);

    // SoftHSM2 adds one uninitialised token; only initialised ones count.
    std::vector<CK_SLOT_ID> tokens;
    std::vector<std::string> labels;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info;
        ASSERT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
        if (!(info.flags & CKF_TOKEN_INITIALIZED))
            continue;
        std::string label(reinterpret_cast<char *>(info.label), sizeof info.label);
        labels.push_back(label.substr(0, label.find_last_not_of(' ') + 1));
        tokens.push_back(slot);
    }
    std::vector<std::string> expected;
    for (const Token &t : scenario.tokens)
        expected.push_back(t.label);
    ASSERT_EQ(labels, expected);

    for (std::size_t i = 0; i < tokens.size(); ++i) {
        SCOPED_TRACE(scenario.tokens[i].label);
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        ASSERT_EQ(f->C_OpenSession(tokens[i], CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
        ASSERT_EQ(f->C_Login(s, CKU_USER,
                             reinterpret_cast<unsigned char *>(const_cast<char *>(scenario.pin)),
                             std::strlen(scenario.pin)),
                  CKR_OK);
        for (const Certificate &c : scenario.tokens[i].certificates) {
            SCOPED_TRACE(c.name);
            std::vector<CK_OBJECT_HANDLE> certs = find(s, CKO_CERTIFICATE, c.id);
            ASSERT_EQ(certs.size(), 1u);
            Bytes der = attribute(s, certs[0], CKA_VALUE);
            EXPECT_EQ(der, readBytes(pki / (std::string(c.name) + ".der")));
            std::vector<CK_OBJECT_HANDLE> pub = find(s, CKO_PUBLIC_KEY, c.id);
            ASSERT_EQ(pub.size(), 1u);
            EXPECT_EQ(keyType(s, pub[0]), c.keyType);
            std::vector<CK_OBJECT_HANDLE> priv = find(s, CKO_PRIVATE_KEY, c.id);
            ASSERT_EQ(priv.size(), 1u);
            EXPECT_EQ(keyType(s, priv[0]), c.keyType);
            expectSignatureVerifies(f, s, priv[0], c.keyType, der);
        }
        // No other certificates than the listed ones.
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE templ = { CKA_CLASS, &certClass, sizeof certClass };
        CK_OBJECT_HANDLE handles[8];
        CK_ULONG found = 0;
        ASSERT_EQ(f->C_FindObjectsInit(s, &templ, 1), CKR_OK);
        ASSERT_EQ(f->C_FindObjects(s, handles, 8, &found), CKR_OK);
        EXPECT_EQ(found, scenario.tokens[i].certificates.size());
        EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
        EXPECT_EQ(f->C_Logout(s), CKR_OK);
        EXPECT_EQ(f->C_CloseAllSessions(tokens[i]), CKR_OK);
    }
}

const Certificate signRsa{ "sign-rsa", 1, CKK_RSA };
const Certificate authRsa{ "auth-rsa", 2, CKK_RSA };

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SoftHsmTest,
    ::testing::Values(
        Scenario{ "sign-rsa", "12345", { { "Quorvanta sign RSA", { signRsa } } } },
        Scenario{ "rsa", "12345", { { "Quorvanta RSA", { signRsa, authRsa } } } },
        Scenario{ "p256", "12345",
                  { { "Quorvanta P-256",
                      { { "sign-p256", 1, CKK_EC }, { "auth-p256", 2, CKK_EC } } } } },
        Scenario{ "p384", "12345",
                  { { "Quorvanta P-384",
                      { { "sign-p384", 1, CKK_EC }, { "auth-p384", 2, CKK_EC } } } } },
        Scenario{ "two-tokens", "12345",
                  { { "Quorvanta auth only", { authRsa } }, { "Quorvanta signing", { signRsa } } } },
        Scenario{ "demo", "1234",
                  { { "Quorvanta demo",
                      { { "demo-sign", 1, CKK_RSA }, { "demo-auth", 2, CKK_RSA } } } } }),
    [](const ::testing::TestParamInfo<Scenario> &info) {
        std::string name = info.param.name;
        for (char &c : name)
            if (c == '-')
                c = '_';
        return name;
    });

} // namespace
