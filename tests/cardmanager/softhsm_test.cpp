// The card manager against SoftHSM2, a real PKCS#11 token, loaded through the
// host's own module binding. Each suite is one token scenario of
// scripts/make-softhsm-tokens.sh; ctest runs the program once per scenario
// with that scenario's SOFTHSM2_CONF and a filter for its suite.
#include "cardmanagertest.h"

#include "pkcs11cardmanager.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const char *const userPin = "12345";

class SoftHsm : public LoggedTest {
protected:
    static PKCS11CardManager *module() { return PKCS11CardManager::instance(); }

    // The slot whose token carries this label.
    static CK_SLOT_ID slotWithLabel(const std::string &label)
    {
        for (CK_SLOT_ID slot : module()->getAvailableTokens()) {
            CK_TOKEN_INFO info{};
            if (module()->functionList->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
            std::string text(reinterpret_cast<const char *>(info.label), sizeof(info.label));
            text.erase(text.find_last_not_of(' ') + 1);
            if (text == label) return slot;
        }
        throw std::runtime_error("no token labelled " + label);
    }

    static std::unique_ptr<PKCS11CardManager> token(const std::string &label, bool forAuth)
    {
        return std::make_unique<PKCS11CardManager>(slotWithLabel(label), module()->functionList,
                                                   forAuth);
    }

    // Signs hashes of every accepted length and verifies each signature.
    static void expectVerifiedSignatures(PKCS11CardManager &card, const std::string &certificate,
                                         std::initializer_list<std::size_t> lengths)
    {
        for (std::size_t length : lengths) {
            SCOPED_TRACE(length);
            const std::vector<unsigned char> hash = testHash(length, static_cast<unsigned char>(length));
            EXPECT_TRUE(verifyCardSignature(pkiDer(certificate), hash, card.sign(hash, userPin)));
        }
    }
};

struct PairCase {
    bool forAuth;
    const char *certificate;
    const char *id;
};

class SoftHsmPair : public SoftHsm {
protected:
    // Both certificates of a two-certificate token, their IDs and the shared PIN name.
    void expectPair(const std::string &label, const std::string &sign, const std::string &auth,
                    CK_KEY_TYPE keyType)
    {
        const PairCase cases[] = {{false, sign.c_str(), "01"}, {true, auth.c_str(), "02"}};
        for (const PairCase &c : cases) {
            SCOPED_TRACE(c.certificate);
            clearLog();
            auto card = token(label, c.forAuth);
            ASSERT_TRUE(card->certificateFound);
            EXPECT_EQ(card->certificate, pkiDer(c.certificate));
            EXPECT_EQ(card->getPinName(), "PIN");
            EXPECT_EQ(card->getKeyType(), keyType);
            expectLogLinesInOrder({"findCertificate read 2 objects",
                                   "findCertificate: certificate id: " + std::string(c.id)});
        }
    }
};

using SoftHsmSignRsa = SoftHsm;
using SoftHsmRsa = SoftHsmPair;
using SoftHsmP256 = SoftHsmPair;
using SoftHsmP384 = SoftHsmPair;
using SoftHsmTwoTokens = SoftHsm;

TEST_F(SoftHsmSignRsa, SingleSigningCertificateNamesItsPinPin2)
{
    auto signing = token("Quorvanta sign RSA", false);
    ASSERT_TRUE(signing->certificateFound);
    EXPECT_EQ(signing->certificate, pkiDer("sign-rsa"));
    EXPECT_EQ(signing->getPinName(), "PIN2");
    EXPECT_EQ(signing->getHolderName(), "Anna Ozola");

    auto auth = token("Quorvanta sign RSA", true);
    EXPECT_FALSE(auth->certificateFound);
    EXPECT_TRUE(auth->certificate.empty());
    EXPECT_EQ(auth->getPinName(), "PIN");
}

TEST_F(SoftHsmRsa, FindsBothCertificatesWithTheirIds)
{
    expectPair("Quorvanta RSA", "sign-rsa", "auth-rsa", CKK_RSA);
}

TEST_F(SoftHsmRsa, SignaturesOverEveryHashLengthVerify)
{
    auto signing = token("Quorvanta RSA", false);
    expectVerifiedSignatures(*signing, "sign-rsa", {20, 28, 32, 36, 48, 64});
    auto auth = token("Quorvanta RSA", true);
    expectVerifiedSignatures(*auth, "auth-rsa", {32});
}

TEST_F(SoftHsmRsa, WrongPinRaisesAuthenticationErrorAndSignsNothing)
{
    auto card = token("Quorvanta RSA", false);
    clearLog();
    EXPECT_THROW(card->sign(testHash(32), "54321"), AuthenticationError);
    const std::vector<std::string> lines = logLines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string &line) {
        return line.find(" C_Sign() [") != std::string::npos ||
               line.find(" C_SignInit() [") != std::string::npos;
    }));
    expectLogLinesInOrder({"return value 160"});
    // The same token instance signs once the right PIN is given.
    expectVerifiedSignatures(*card, "sign-rsa", {32});
}

TEST_F(SoftHsmP256, FindsBothCertificatesWithTheirIds)
{
    expectPair("Quorvanta P-256", "sign-p256", "auth-p256", CKK_EC);
}

TEST_F(SoftHsmP256, EcSignaturesVerify)
{
    auto signing = token("Quorvanta P-256", false);
    expectVerifiedSignatures(*signing, "sign-p256", {20, 32, 48, 64});
    auto auth = token("Quorvanta P-256", true);
    expectVerifiedSignatures(*auth, "auth-p256", {32});
}

TEST_F(SoftHsmP384, FindsBothCertificatesWithTheirIds)
{
    expectPair("Quorvanta P-384", "sign-p384", "auth-p384", CKK_EC);
}

TEST_F(SoftHsmP384, EcSignaturesVerify)
{
    auto signing = token("Quorvanta P-384", false);
    expectVerifiedSignatures(*signing, "sign-p384", {32, 48, 64});
}

TEST_F(SoftHsmTwoTokens, EachKindOfCertificateIsFoundOnItsOwnToken)
{
    const std::vector<CK_SLOT_ID> slots = module()->getAvailableTokens();
    const CK_SLOT_ID authOnly = slotWithLabel("Quorvanta auth only");
    const CK_SLOT_ID signing = slotWithLabel("Quorvanta signing");
    EXPECT_LT(std::find(slots.begin(), slots.end(), authOnly),
              std::find(slots.begin(), slots.end(), signing));

    EXPECT_FALSE(token("Quorvanta auth only", false)->certificateFound);
    auto auth = token("Quorvanta auth only", true);
    EXPECT_EQ(auth->certificate, pkiDer("auth-rsa"));
    EXPECT_EQ(auth->getPinName(), "PIN1");

    auto sign = token("Quorvanta signing", false);
    EXPECT_EQ(sign->certificate, pkiDer("sign-rsa"));
    EXPECT_EQ(sign->getPinName(), "PIN2");
    expectVerifiedSignatures(*sign, "sign-rsa", {32});
    EXPECT_FALSE(token("Quorvanta signing", true)->certificateFound);
}

} // namespace
