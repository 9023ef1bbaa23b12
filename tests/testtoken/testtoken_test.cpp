// Tests of the test token module through its function list, loaded by bare
// file name: that it serves what the fixture describes, signs verifiably,
// keeps the PIN counter like a card, fails where the fixture says, and
// journals the calls that other tests count.
#include "moduleloader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes readBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hexOf(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

class TestTokenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *pkiDir = std::getenv("QUORVANTA_TEST_PKI");
        ASSERT_TRUE(pkiDir && *pkiDir) << "QUORVANTA_TEST_PKI names the test PKI directory";
        pki = fs::absolute(pkiDir);
        std::random_device random;
        dir = fs::temp_directory_path() / ("testtoken-" + std::to_string(random()));
        fs::create_directories(dir);
        f = testtoken::loadModule();
    }

    void TearDown() override
    {
        if (initialized) {
            EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Writes the fixture (with a journal in the test's directory) and
    // initialises the module with it.
    CK_RV start(const std::string &body)
    {
        fs::path fixture = dir / "fixture.txt";
        std::ofstream(fixture) << "journal " << (dir / "journal").string() << "\n" << body;
        testtoken::setEnvironment("QUORVANTA_TESTTOKEN_FIXTURE", fixture.string());
        CK_RV rv = f->C_Initialize(nullptr);
        initialized = rv == CKR_OK;
        return rv;
    }

    std::string file(const std::string &name) const { return (pki / name).string(); }

    std::vector<std::string> journal() const
    {
        std::ifstream in(dir / "journal");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    CK_SESSION_HANDLE open(CK_SLOT_ID slot)
    {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        return session;
    }

    // Searches one handle at a time, as the host does; returns the rv that
    // ended the search and the handles read.
    CK_RV find(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, const Bytes *id,
               std::vector<CK_OBJECT_HANDLE> &found)
    {
        CK_ATTRIBUTE templ[2] = {
            { CKA_CLASS, &objectClass, sizeof objectClass },
            { CKA_ID, id ? const_cast<unsigned char *>(id->data()) : nullptr,
              static_cast<CK_ULONG>(id ? id->size() : 0) },
        };
        if (CK_RV rv = f->C_FindObjectsInit(session, templ, id ? 2 : 1))
            return rv;
        CK_RV rv = CKR_OK;
        for (;;) {
            CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
            CK_ULONG count = 0;
            if ((rv = f->C_FindObjects(session, &handle, 1, &count)) != CKR_OK || count == 0)
                break;
            found.push_back(handle);
        }
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        return rv;
    }

    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                                       const Bytes *id = nullptr)
    {
        std::vector<CK_OBJECT_HANDLE> found;
        EXPECT_EQ(find(session, objectClass, id, found), CKR_OK);
        return found;
    }

    Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
    {
        CK_ATTRIBUTE a = { type, nullptr, 0 };
        EXPECT_EQ(f->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(f->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
        value.resize(a.ulValueLen);
        return value;
    }

    CK_ULONG ulongAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type)
    {
        Bytes value = attribute(session, object, type);
        CK_ULONG out = 0;
        EXPECT_EQ(value.size(), sizeof out);
        std::memcpy(&out, value.data(), std::min(value.size(), sizeof out));
        return out;
    }

    CK_RV login(CK_SESSION_HANDLE session, const std::string &pin)
    {
        return f->C_Login(session, CKU_USER,
                          reinterpret_cast<unsigned char *>(const_cast<char *>(pin.data())),
                          pin.size());
    }

    CK_FLAGS tokenFlags(CK_SLOT_ID slot)
    {
        CK_TOKEN_INFO info;
        EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
        return info.flags;
    }

    CK_FUNCTION_LIST *f = nullptr;
    fs::path pki;
    fs::path dir;
    bool initialized = false;
};

const CK_FLAGS pinStateFlags =
    CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

TEST_F(TestTokenTest, FunctionListIsCompleteAndUnusedCallsAreNotSupported)
{
    // Every slot after the version is a function pointer and must be set.
    const std::size_t first = offsetof(CK_FUNCTION_LIST, C_Initialize);
    const std::size_t slots = (sizeof(CK_FUNCTION_LIST) - first) / sizeof(void *);
    EXPECT_EQ(slots, 68u);
    for (std::size_t i = 0; i < slots; ++i) {
        void *p = nullptr;
        std::memcpy(&p, reinterpret_cast<const char *>(f) + first + i * sizeof p, sizeof p);
        EXPECT_NE(p, nullptr) << "function list slot " << i;
    }
    EXPECT_EQ(f->C_EncryptInit(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_GenerateRandom(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
    // Nothing works before C_Initialize.
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(TestTokenTest, FixtureErrorsFailInitialisation)
{
    EXPECT_EQ(start("slot 1\nfrobnicate\n"), CKR_GENERAL_ERROR);
    EXPECT_EQ(start("label outside a slot\n"), CKR_GENERAL_ERROR);
    EXPECT_EQ(start("slot 1\nobject cert /no/such/file.der id 01\n"), CKR_GENERAL_ERROR);
    EXPECT_EQ(start("slot 1\nobject cert-bytes 0A0 id 01\n"), CKR_GENERAL_ERROR);
    EXPECT_EQ(start("slot 1\nremove-at C_Frobnicate\n"), CKR_GENERAL_ERROR);
    EXPECT_EQ(start("slot 1\nslot 1\n"), CKR_GENERAL_ERROR);
    ASSERT_EQ(start("slot 1\n"), CKR_OK);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
}

TEST_F(TestTokenTest, SlotListHonoursTokenPresenceAndBufferSize)
{
    ASSERT_EQ(start("slot 1\nslot 2\nno-token\nslot 5\n"), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    EXPECT_EQ(slots, (std::vector<CK_SLOT_ID>{ 1, 5 }));

    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 3u);

    CK_SLOT_ID one[1] = { 99 };
    count = 1;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, one, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);

    CK_SLOT_INFO info;
    ASSERT_EQ(f->C_GetSlotInfo(2, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO token;
    EXPECT_EQ(f->C_GetTokenInfo(2, &token), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_GetTokenInfo(3, &token), CKR_SLOT_ID_INVALID);
}

TEST_F(TestTokenTest, SlotListCanReportMoreSlotsThanItFills)
{
    ASSERT_EQ(start("slot-list-extra 3\nslot 7\n"), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 4u);
    std::vector<CK_SLOT_ID> slots(count, 0);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(slots, (std::vector<CK_SLOT_ID>{ 7, 0, 0, 0 }));
}

TEST_F(TestTokenTest, TokenInfoShowsLabelAndPinRange)
{
    ASSERT_EQ(start("slot 3\nlabel Quorvanta demo\nmin-pin 5\nmax-pin 8\n"), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(3, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(info.label), sizeof info.label),
              "Quorvanta demo                  ");
    EXPECT_EQ(info.flags & (CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED),
              CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED);
    EXPECT_EQ(info.flags & pinStateFlags, 0u);
    EXPECT_EQ(info.ulMinPinLen, 5u);
    EXPECT_EQ(info.ulMaxPinLen, 8u);
}

TEST_F(TestTokenTest, FindsObjectsByClassAndIdAndReadsTheirAttributes)
{
    ASSERT_EQ(start("slot 1\n"
                    "object cert " + file("sign-rsa.der") + " id 01\n"
                    "object key " + file("sign-rsa.key.pem") + " id 01\n"
                    "object cert " + file("auth-p256.der") + " id 02 label Authentication\n"
                    "object key " + file("auth-p256.key.pem") + " id 02\n"
                    "object cert-bytes 0102030405 id 03\n"),
              CKR_OK);
    CK_SESSION_HANDLE s = open(1);
    std::vector<CK_OBJECT_HANDLE> certs = find(s, CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 3u);
    EXPECT_EQ(attribute(s, certs[0], CKA_VALUE), readBytes(pki / "sign-rsa.der"));
    EXPECT_EQ(attribute(s, certs[1], CKA_ID), Bytes{ 2 });
    Bytes label = attribute(s, certs[1], CKA_LABEL);
    EXPECT_EQ(std::string(label.begin(), label.end()), "Authentication");
    EXPECT_EQ(attribute(s, certs[2], CKA_VALUE), (Bytes{ 1, 2, 3, 4, 5 }));
    EXPECT_EQ(ulongAttribute(s, certs[0], CKA_CLASS), CKO_CERTIFICATE);

    const Bytes id2{ 2 };
    std::vector<CK_OBJECT_HANDLE> pub = find(s, CKO_PUBLIC_KEY, &id2);
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(ulongAttribute(s, pub[0], CKA_KEY_TYPE), CKK_EC);
    EXPECT_EQ(ulongAttribute(s, find(s, CKO_PUBLIC_KEY)[0], CKA_KEY_TYPE), CKK_RSA);

    // Private keys are private objects: invisible until the user logs in.
    EXPECT_TRUE(find(s, CKO_PRIVATE_KEY).empty());
    ASSERT_EQ(login(s, "1234"), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> priv = find(s, CKO_PRIVATE_KEY, &id2);
    ASSERT_EQ(priv.size(), 1u);
    EXPECT_EQ(ulongAttribute(s, priv[0], CKA_KEY_TYPE), CKK_EC);
    const Bytes id9{ 9 };
    EXPECT_TRUE(find(s, CKO_PRIVATE_KEY, &id9).empty());
}

TEST_F(TestTokenTest, AttributeReadsFollowTheSizeProtocol)
{
    ASSERT_EQ(start("slot 1\nobject cert-bytes 0102030405 id 0A0B\n"
                    "object key " + file("sign-rsa.key.pem") + " id 0A0B\n"
                    "report-length CKA_ID 1000000\n"),
              CKR_OK);
    CK_SESSION_HANDLE s = open(1);
    CK_OBJECT_HANDLE cert = find(s, CKO_CERTIFICATE).at(0);

    unsigned char small[4];
    CK_ATTRIBUTE a = { CKA_VALUE, small, sizeof small };
    EXPECT_EQ(f->C_GetAttributeValue(s, cert, &a, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    CK_ATTRIBUTE missing = { CKA_MODULUS, nullptr, 0 };
    EXPECT_EQ(f->C_GetAttributeValue(s, cert, &missing, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(missing.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // A garbage length in the size query; the value itself stays 2 bytes.
    CK_ATTRIBUTE id = { CKA_ID, nullptr, 0 };
    ASSERT_EQ(f->C_GetAttributeValue(s, cert, &id, 1), CKR_OK);
    EXPECT_EQ(id.ulValueLen, 1000000u);
    Bytes buffer(64, 0xEE);
    id.pValue = buffer.data();
    id.ulValueLen = buffer.size();
    ASSERT_EQ(f->C_GetAttributeValue(s, cert, &id, 1), CKR_OK);
    EXPECT_EQ(id.ulValueLen, 2u);
    EXPECT_EQ(buffer[2], 0xEE);

    ASSERT_EQ(login(s, "1234"), CKR_OK);
    CK_ATTRIBUTE secret = { CKA_VALUE, nullptr, 0 };
    EXPECT_EQ(f->C_GetAttributeValue(s, find(s, CKO_PRIVATE_KEY).at(0), &secret, 1),
              CKR_ATTRIBUTE_SENSITIVE);

    // Integer attributes in a template must be CK_ULONG wide.
    std::uint32_t shortClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE shortTemplate = { CKA_CLASS, &shortClass, sizeof shortClass };
    if (sizeof(CK_ULONG) != sizeof shortClass) {
        EXPECT_EQ(f->C_FindObjectsInit(s, &shortTemplate, 1), CKR_ATTRIBUTE_VALUE_INVALID);
    }
}

struct SignCase {
    const char *name;
    const char *key;
    CK_MECHANISM_TYPE mechanism;
    std::size_t dataLength;
    std::size_t signatureLength;
};

void PrintTo(const SignCase &c, std::ostream *os) { *os << c.name; }

class SignTest : public TestTokenTest, public ::testing::WithParamInterface<SignCase> {};

// Verifies over the very bytes given, like the card signed them: PKCS#1 v1.5
// without hashing for RSA, r||s converted to DER for ECDSA.
bool verifies(EVP_PKEY *key, CK_MECHANISM_TYPE mechanism, const Bytes &data, const Bytes &sig)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0)
        return false;
    Bytes der = sig;
    if (mechanism == CKM_RSA_PKCS) {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    } else {
        std::size_t half = sig.size() / 2;
        std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> ecdsa(ECDSA_SIG_new(),
                                                                    &ECDSA_SIG_free);
        ECDSA_SIG_set0(ecdsa.get(), BN_bin2bn(sig.data(), static_cast<int>(half), nullptr),
                       BN_bin2bn(sig.data() + half, static_cast<int>(half), nullptr));
        unsigned char *out = nullptr;
        int length = i2d_ECDSA_SIG(ecdsa.get(), &out);
        der.assign(out, out + length);
        OPENSSL_free(out);
    }
    return EVP_PKEY_verify(ctx.get(), der.data(), der.size(), data.data(), data.size()) == 1;
}

TEST_P(SignTest, SignsTheGivenBytesVerifiably)
{
    const SignCase &c = GetParam();
    std::string name = c.key;
    ASSERT_EQ(start("slot 4\nobject cert " + file(name + ".der") + " id 01\n"
                    "object key " + file(name + ".key.pem") + " id 01\n"),
              CKR_OK);
    CK_SESSION_HANDLE s = open(4);
    ASSERT_EQ(login(s, "1234"), CKR_OK);
    CK_OBJECT_HANDLE key = find(s, CKO_PRIVATE_KEY).at(0);
    CK_MECHANISM mechanism = { c.mechanism, nullptr, 0 };
    ASSERT_EQ(f->C_SignInit(s, &mechanism, key), CKR_OK);

    Bytes data(c.dataLength);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 1);
    CK_ULONG length = 0;
    ASSERT_EQ(f->C_Sign(s, data.data(), data.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, c.signatureLength);
    Bytes sig(length);
    CK_ULONG tooShort = length - 1;
    EXPECT_EQ(f->C_Sign(s, data.data(), data.size(), sig.data(), &tooShort), CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(f->C_Sign(s, data.data(), data.size(), sig.data(), &length), CKR_OK);
    EXPECT_EQ(length, c.signatureLength);
    // The operation is over after a signature.
    EXPECT_EQ(f->C_Sign(s, data.data(), data.size(), sig.data(), &length),
              CKR_OPERATION_NOT_INITIALIZED);

    Bytes der = readBytes(pki / (name + ".der"));
    const unsigned char *p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(verifies(X509_get0_pubkey(cert.get()), c.mechanism, data, sig));

    std::vector<std::string> lines = journal();
    char mech[16];
    std::snprintf(mech, sizeof mech, "%lX", static_cast<unsigned long>(c.mechanism));
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "C_Sign slot=4 mechanism=" + std::string(mech) + " data=" + hexOf(data) +
                             " ok"),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SignTest,
    ::testing::Values(SignCase{ "Rsa2048DigestInfoSha256", "sign-rsa", CKM_RSA_PKCS, 51, 256 },
                      SignCase{ "Rsa2048Bare36", "sign-rsa", CKM_RSA_PKCS, 36, 256 },
                      SignCase{ "EcP256", "sign-p256", CKM_ECDSA, 32, 64 },
                      SignCase{ "EcP384", "sign-p384", CKM_ECDSA, 48, 96 },
                      SignCase{ "EcP384ShortHash", "auth-p384", CKM_ECDSA, 32, 96 }),
    [](const ::testing::TestParamInfo<SignCase> &info) { return std::string(info.param.name); });

TEST_F(TestTokenTest, SigningRefusesWhatACardRefuses)
{
    ASSERT_EQ(start("slot 1\nobject key " + file("sign-rsa.key.pem") + " id 01\n"
                    "object key " + file("sign-rsa.key.pem") + " id 02 key-type dsa\n"),
              CKR_OK);
    CK_SESSION_HANDLE s = open(1);
    CK_MECHANISM rsa = { CKM_RSA_PKCS, nullptr, 0 };
    CK_MECHANISM ecdsa = { CKM_ECDSA, nullptr, 0 };
    CK_MECHANISM sha256rsa = { CKM_SHA256_RSA_PKCS, nullptr, 0 };
    EXPECT_EQ(f->C_SignInit(s, &rsa, 1), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(s, "1234"), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> keys = find(s, CKO_PRIVATE_KEY);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(ulongAttribute(s, keys[1], CKA_KEY_TYPE), CKK_DSA);
    EXPECT_EQ(f->C_SignInit(s, &rsa, keys[1]), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(f->C_SignInit(s, &ecdsa, keys[0]), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(f->C_SignInit(s, &sha256rsa, keys[0]), CKR_MECHANISM_INVALID);

    ASSERT_EQ(f->C_SignInit(s, &rsa, keys[0]), CKR_OK);
    Bytes tooLong(256 - 10);
    CK_ULONG length = 0;
    EXPECT_EQ(f->C_Sign(s, tooLong.data(), tooLong.size(), nullptr, &length), CKR_DATA_LEN_RANGE);
}

// The retry counter as a card keeps it: each wrong PIN costs a try and moves
// the token flags; at zero the PIN is locked even for the right PIN.
TEST_F(TestTokenTest, WrongPinsCountDownToLocked)
{
    ASSERT_EQ(start("slot 1\npin 987654\nmin-pin 4\nmax-pin 8\n"), CKR_OK);
    CK_SESSION_HANDLE s = open(1);
    struct Step {
        const char *pin;
        CK_RV rv;
        CK_FLAGS flagsAfter;
    };
    const Step steps[] = {
        { "1111", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW },
        { "123", CKR_PIN_LEN_RANGE, CKF_USER_PIN_COUNT_LOW },     // costs no try
        { "123456789", CKR_PIN_LEN_RANGE, CKF_USER_PIN_COUNT_LOW },
        { "2222", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY },
        { "3333", CKR_PIN_INCORRECT, CKF_USER_PIN_LOCKED },
        { "987654", CKR_PIN_LOCKED, CKF_USER_PIN_LOCKED },
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.pin);
        EXPECT_EQ(login(s, step.pin), step.rv);
        EXPECT_EQ(tokenFlags(1) & pinStateFlags, step.flagsAfter);
    }
    for (const std::string &line : journal())
        EXPECT_EQ(line.find("987654"), std::string::npos) << line;
}

TEST_F(TestTokenTest, RightPinRefillsTheCounterAndLogoutEndsTheLogin)
{
    ASSERT_EQ(start("slot 1\npin 12345\nretries 5\ntries-left 2\n"), CKR_OK);
    CK_SESSION_HANDLE s = open(1);
    EXPECT_EQ(tokenFlags(1) & pinStateFlags, CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(login(s, "54321"), CKR_PIN_INCORRECT);
    EXPECT_EQ(tokenFlags(1) & pinStateFlags, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(login(s, "12345"), CKR_OK);
    EXPECT_EQ(tokenFlags(1) & pinStateFlags, 0u);
    EXPECT_EQ(login(s, "12345"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(f->C_Logout(s), CKR_OK);
    EXPECT_EQ(f->C_Logout(s), CKR_USER_NOT_LOGGED_IN);
    // Closing the slot's sessions logs out as well.
    EXPECT_EQ(login(s, "12345"), CKR_OK);
    EXPECT_EQ(f->C_CloseAllSessions(1), CKR_OK);
    s = open(1);
    EXPECT_EQ(login(s, "12345"), CKR_OK);

    std::vector<std::string> lines = journal();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "C_Login slot=1 ok"), 3);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "C_Login slot=1 CKR_PIN_INCORRECT"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "C_Logout slot=1 ok"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "C_CloseAllSessions slot=1 ok"), 1);
}

TEST_F(TestTokenTest, InjectedFailuresHitTheirCalls)
{
    std::string body = "slot 1\nfail-open-session CKR_DEVICE_ERROR 1\n"
                       "fail-login CKR_FUNCTION_CANCELED 1\n"
                       "fail-close-all CKR_DEVICE_REMOVED\n"
                       "fail-find cert after 10\n";
    for (int i = 0; i < 12; ++i)
        body += "object cert " + file("sign-rsa.der") + " id " + hexOf(Bytes{ Bytes::value_type(i) }) + "\n";
    ASSERT_EQ(start(body), CKR_OK);

    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_DEVICE_ERROR);
    s = open(1);
    EXPECT_EQ(login(s, "1234"), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(login(s, "1234"), CKR_OK);

    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(find(s, CKO_CERTIFICATE, nullptr, found), CKR_DEVICE_ERROR);
    EXPECT_EQ(found.size(), 10u);
    // Searches for other classes are not hit.
    EXPECT_TRUE(find(s, CKO_PUBLIC_KEY).empty());

    EXPECT_EQ(f->C_CloseAllSessions(1), CKR_DEVICE_REMOVED);
    EXPECT_EQ(f->C_CloseSession(s), CKR_SESSION_HANDLE_INVALID) << "closed all the same";

    std::vector<std::string> lines = journal();
    for (const char *line : { "C_OpenSession slot=1 CKR_DEVICE_ERROR", "C_OpenSession slot=1 ok",
                              "C_Login slot=1 CKR_FUNCTION_CANCELED", "C_FindObjects slot=1 CKR_DEVICE_ERROR",
                              "C_FindObjectsFinal slot=1 found=10 ok",
                              "C_CloseAllSessions slot=1 CKR_DEVICE_REMOVED" })
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
}

// The card is pulled out at the second C_Sign of the slot; it stays out
// until the slot's sessions are closed, then the next request works again.
TEST_F(TestTokenTest, RemovedCardFailsUntilTheSessionsAreClosed)
{
    ASSERT_EQ(start("slot 1\nobject key " + file("sign-p256.key.pem") + " id 01\n"
                    "remove-at C_Sign 2 CKR_DEVICE_REMOVED\n"),
              CKR_OK);
    CK_MECHANISM ecdsa = { CKM_ECDSA, nullptr, 0 };
    Bytes hash(32, 0x5A);
    auto signOnce = [&](CK_SESSION_HANDLE s) {
        CK_RV rv = login(s, "1234");
        if (rv != CKR_OK)
            return rv;
        std::vector<CK_OBJECT_HANDLE> keys;
        if ((rv = find(s, CKO_PRIVATE_KEY, nullptr, keys)) != CKR_OK)
            return rv;
        if ((rv = f->C_SignInit(s, &ecdsa, keys.at(0))) != CKR_OK)
            return rv;
        CK_ULONG length = 0;
        if ((rv = f->C_Sign(s, hash.data(), hash.size(), nullptr, &length)) != CKR_OK)
            return rv;
        Bytes sig(length);
        if ((rv = f->C_Sign(s, hash.data(), hash.size(), sig.data(), &length)) != CKR_OK)
            return rv;
        return f->C_Logout(s);
    };
    CK_SESSION_HANDLE s = open(1);
    EXPECT_EQ(signOnce(s), CKR_DEVICE_REMOVED);
    EXPECT_EQ(f->C_Logout(s), CKR_DEVICE_REMOVED);
    CK_TOKEN_INFO info;
    EXPECT_EQ(f->C_GetTokenInfo(1, &info), CKR_DEVICE_REMOVED);
    CK_ULONG count = 5;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f->C_CloseAllSessions(1), CKR_DEVICE_REMOVED);

    s = open(1);
    EXPECT_EQ(signOnce(s), CKR_OK);
    std::vector<std::string> lines = journal();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "card-removed slot=1 at=C_Sign"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "card-inserted slot=1"), 1);
}

TEST_F(TestTokenTest, RemovalCanLastAGivenNumberOfCallsOrForEver)
{
    ASSERT_EQ(start("slot 1\nremove-at C_OpenSession 1 CKR_TOKEN_NOT_PRESENT\nremove-count 2\n"
                    "slot 2\nremove-at C_Login CKR_SESSION_HANDLE_INVALID\nremove-count 0\n"),
              CKR_OK);
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);

    s = open(2);
    EXPECT_EQ(login(s, "1234"), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_CloseAllSessions(2), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_SESSION_HANDLE_INVALID);
}

// A module that writes into the host's standard output corrupts its framing;
// the fixture can make C_Initialize do exactly that.
TEST_F(TestTokenTest, InitialisationCanWriteToStandardOutput)
{
    fs::path captured = dir / "stdout.txt";
    std::fflush(stdout);
    int saved = dup(fileno(stdout));
    ASSERT_GE(saved, 0);
    ASSERT_TRUE(std::freopen(captured.string().c_str(), "w", stdout));
    CK_RV rv = start("init-stdout hello from the module\nslot 1\n");
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    EXPECT_EQ(rv, CKR_OK);
    Bytes text = readBytes(captured);
    std::string written(text.begin(), text.end());
    // Windows writes the line end of a text-mode stream as CR LF.
    written.erase(std::remove(written.begin(), written.end(), '\r'), written.end());
    EXPECT_EQ(written, "hello from the module\n");
}

} // namespace
