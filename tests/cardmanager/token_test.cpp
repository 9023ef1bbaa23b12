// The card manager against the project's test token module, loaded through
// the real module binding: certificate and key search, what exactly is handed
// to C_Sign, the subject readers, and every way the fixture makes a card fail.
// The fixture below gives each situation a slot of its own, so one module
// initialisation serves the whole program.
#include "cardmanagertest.h"

#include "hex.h"
#include "pkcs11cardmanager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

enum TestSlot : CK_SLOT_ID {
    RsaPair = 1,
    EcSingle = 2,
    OpenFails = 3,
    FindBreaks = 4,
    WrongPin = 5,
    Locked = 6,
    Cancel = 7,
    NotDer = 8,
    TwoKeys = 9,
    DsaKey = 10,
    ManyCerts = 11,
    CloseFails = 12,
    PulledAtSign = 13,
    UnavailableLength = 14,
    HugeLength = 15,
    ShortLength = 16,
    LongIdReport = 17,
    P384Pair = 18,
    AuthSingle = 19,
    PinInvalid = 20,
    PulledAtOpen = 21,
    EmptyReader = 22,
    PulledAtKeySearch = 23,
    SubjectLatvian = 30,
    SubjectCyrillic,
    SubjectNoGiven,
    SubjectNoSurname,
    SubjectNoSerial,
    SubjectCnOnly,
    SubjectLongGiven,
    ValidityExpired,
    ValidityUtc2049,
    ValidityGen2050,
};

const char *const rsaPin = "915372";

// Writes the fixture and the journal into a private directory and points the
// test token at it before anything binds the module.
class TokenEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        dir = std::make_unique<TemporaryDirectory>();
        journal = dir->path() / "journal.txt";
        writeFile(journal, "");
        const fs::path fixture = dir->path() / "fixture.txt";
        writeFile(fixture, fixtureText());
        setEnvironment("QUORVANTA_TESTTOKEN_FIXTURE", fixture.string());
    }
    void TearDown() override { dir.reset(); }

    static fs::path journal;

private:
    static std::string cert(const std::string &name, const std::string &id)
    {
        return "object cert " + (pkiDir() / (name + ".der")).string() + " id " + id + "\n";
    }
    static std::string key(const std::string &name, const std::string &id,
                           const std::string &extra = "")
    {
        return "object key " + (pkiDir() / (name + ".key.pem")).string() + " id " + id + extra +
               "\n";
    }
    static std::string slot(CK_SLOT_ID id) { return "slot " + std::to_string(id) + "\n"; }

    static std::string fixtureText()
    {
        std::ostringstream f;
        f << "journal " << journal.string() << "\n";
        f << "slot-list-extra 2\n";
        f << slot(RsaPair) << "label RSA pair\npin " << rsaPin << "\n"
          << cert("sign-rsa", "01") << key("sign-rsa", "01") << cert("auth-rsa", "02")
          << key("auth-rsa", "02");
        f << slot(EcSingle) << cert("sign-p256", "03") << key("sign-p256", "03");
        f << slot(OpenFails) << "fail-open-session CKR_DEVICE_ERROR\n" << cert("sign-rsa", "01");
        f << slot(FindBreaks) << "fail-find cert after 1\n"
          << cert("usage-ke", "01") << cert("sign-rsa", "02") << key("sign-rsa", "02");
        f << slot(WrongPin) << cert("sign-rsa", "01") << key("sign-rsa", "01");
        f << slot(Locked) << "tries-left 0\n" << cert("sign-rsa", "01") << key("sign-rsa", "01");
        f << slot(Cancel) << "fail-login CKR_FUNCTION_CANCELED\n"
          << cert("sign-rsa", "01") << key("sign-rsa", "01");
        f << slot(NotDer) << "object cert-bytes 308203AA0102 id 01\n";
        f << slot(TwoKeys) << cert("sign-rsa", "01") << key("sign-rsa", "01")
          << "object private-key " << (pkiDir() / "auth-rsa.key.pem").string() << " id 01\n";
        f << slot(DsaKey) << cert("sign-rsa", "01") << key("sign-rsa", "01", " key-type dsa");
        f << slot(ManyCerts);
        for (int i = 1; i <= 11; ++i) f << cert("usage-ke", toHex({static_cast<unsigned char>(i)}));
        f << cert("sign-rsa", "0C") << key("sign-rsa", "0C");
        f << slot(CloseFails) << "fail-close-all CKR_DEVICE_ERROR\n" << cert("sign-rsa", "01");
        f << slot(PulledAtSign) << "remove-at C_Sign 1 CKR_DEVICE_REMOVED\n"
          << cert("sign-rsa", "01") << key("sign-rsa", "01");
        f << slot(UnavailableLength) << "report-length CKA_VALUE "
          << std::to_string(CK_UNAVAILABLE_INFORMATION) << "\n" << cert("sign-rsa", "01");
        f << slot(HugeLength) << "report-length CKA_VALUE 2000000000\n" << cert("sign-rsa", "01");
        f << slot(ShortLength) << "report-length CKA_VALUE 10\n" << cert("sign-rsa", "01");
        f << slot(LongIdReport) << "report-length CKA_ID 4000\n"
          << cert("sign-rsa", "A5") << key("sign-rsa", "A5");
        f << slot(P384Pair) << cert("sign-p384", "01") << key("sign-p384", "01")
          << cert("auth-p384", "02") << key("auth-p384", "02");
        f << slot(AuthSingle) << cert("auth-p256", "04") << key("auth-p256", "04");
        f << slot(PinInvalid) << "fail-login CKR_PIN_INVALID\n"
          << cert("sign-rsa", "01") << key("sign-rsa", "01");
        f << slot(PulledAtOpen) << "remove-at C_OpenSession 1 CKR_TOKEN_NOT_PRESENT\n"
          << "remove-count 1\n" << cert("sign-rsa", "01");
        f << slot(EmptyReader) << "no-token\n";
        f << slot(PulledAtKeySearch) << "remove-at C_FindObjectsInit 2\n"
          << cert("sign-rsa", "01") << key("sign-rsa", "01");
        const char *subjects[] = {"subject-latvian",  "subject-cyrillic",  "subject-no-given",
                                  "subject-no-surname", "subject-no-serial", "subject-cn-only",
                                  "subject-long-given", "validity-expired",  "validity-utc-2049",
                                  "validity-gen-2050"};
        CK_SLOT_ID id = SubjectLatvian;
        for (const char *name : subjects) f << slot(id++) << cert(name, "01");
        return f.str();
    }

    std::unique_ptr<TemporaryDirectory> dir;
};

fs::path TokenEnvironment::journal;
::testing::Environment *const tokenEnvironment =
    ::testing::AddGlobalTestEnvironment(new TokenEnvironment);

class TestToken : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        journalStart = readJournal().size();
    }

    static PKCS11CardManager *module() { return PKCS11CardManager::instance(); }

    static std::unique_ptr<PKCS11CardManager> token(CK_SLOT_ID slot, bool forAuth = false)
    {
        return std::make_unique<PKCS11CardManager>(slot, module()->functionList, forAuth);
    }

    static std::vector<std::string> readJournal()
    {
        std::ifstream in(TokenEnvironment::journal);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Journal lines of this test that start with `prefix`.
    std::vector<std::string> journal(const std::string &prefix) const
    {
        std::vector<std::string> lines = readJournal();
        std::vector<std::string> matching;
        for (std::size_t i = journalStart; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) matching.push_back(lines[i]);
        return matching;
    }

    // The data of the last C_Sign of the slot, as upper-case hex.
    std::string signedData(CK_SLOT_ID slot) const
    {
        const std::vector<std::string> signs =
            journal("C_Sign slot=" + std::to_string(slot) + " mechanism=");
        if (signs.empty()) return "";
        const std::string &line = signs.back();
        const std::size_t data = line.find("data=") + 5;
        return line.substr(data, line.find(' ', data) - data);
    }

    std::size_t journalStart = 0;
};

template <typename Action>
std::string errorKind(Action action)
{
    try {
        action();
    } catch (const AuthenticationError &) {
        return "AuthenticationError";
    } catch (const AuthenticationBadInput &) {
        return "AuthenticationBadInput";
    } catch (const UserCanceledError &) {
        return "UserCanceledError";
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "no error";
}

TEST_F(TestToken, SlotListKeepsTheLengthOfTheFirstAnswer)
{
    // The module's size query reports two slots more than it fills.
    std::vector<CK_SLOT_ID> expected = {RsaPair,     EcSingle,    OpenFails,   FindBreaks,
                                        WrongPin,    Locked,      Cancel,      NotDer,
                                        TwoKeys,     DsaKey,      ManyCerts,   CloseFails,
                                        PulledAtSign, UnavailableLength, HugeLength, ShortLength,
                                        LongIdReport, P384Pair,   AuthSingle,  PinInvalid,
                                        PulledAtOpen, PulledAtKeySearch};
    for (CK_SLOT_ID id = SubjectLatvian; id <= ValidityGen2050; ++id) expected.push_back(id);
    expected.push_back(0);
    expected.push_back(0);
    EXPECT_EQ(module()->getAvailableTokens(), expected);
    expectLogLinesInOrder({"return value 0", "slotCount = " + std::to_string(expected.size()),
                           "return value 0"});
}

struct FoundCase {
    CK_SLOT_ID slot;
    bool forAuth;
    const char *certificate; // null: none found
    const char *id;
    const char *pinName;
    int objectsRead;
};

TEST_F(TestToken, FindsTheWantedCertificateAndNamesItsPin)
{
    const FoundCase cases[] = {
        {RsaPair, false, "sign-rsa", "01", "PIN", 2},
        {RsaPair, true, "auth-rsa", "02", "PIN", 2},
        {EcSingle, false, "sign-p256", "03", "PIN2", 1},
        {EcSingle, true, nullptr, "", "PIN", 1},
        {AuthSingle, true, "auth-p256", "04", "PIN1", 1},
        {AuthSingle, false, nullptr, "", "PIN", 1},
        {ManyCerts, false, "sign-rsa", "0C", "PIN", 12},
        {FindBreaks, false, nullptr, "", "PIN", 1}, // the search broke off before it
    };
    for (const FoundCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.slot) + (c.forAuth ? " auth" : " sign"));
        clearLog();
        auto card = token(c.slot, c.forAuth);
        EXPECT_EQ(card->certificateFound, c.certificate != nullptr);
        EXPECT_EQ(card->certificate,
                  c.certificate ? pkiDer(c.certificate) : std::vector<unsigned char>());
        EXPECT_EQ(card->getPinName(), c.pinName);
        expectLogLinesInOrder(
            {"Create instance with slot " + std::to_string(c.slot),
             "findCertificate read " + std::to_string(c.objectsRead) + " objects",
             c.certificate ? "findCertificate: certificate id: " + std::string(c.id)
                           : "findCertificate: required certificate not found ",
             "Instance created with slot " + std::to_string(c.slot)});
    }
}

struct RsaCase {
    std::size_t length;
    const char *prefix;
};

TEST_F(TestToken, RsaSignsTheDigestInfoOfEachHashLength)
{
    const RsaCase cases[] = {
        {20, "3021300906052B0E03021A05000414"},
        {28, "302D300D06096086480165030402040500041C"},
        {32, "3031300D060960864801650304020105000420"}, // 51 bytes in all
        {36, ""},
        {48, "3041300D060960864801650304020205000430"},
        {64, "3051300D060960864801650304020305000440"},
        {33, ""}, // not a digest length: signed without a prefix
    };
    auto card = token(RsaPair);
    for (const RsaCase &c : cases) {
        SCOPED_TRACE(c.length);
        clearLog();
        const std::vector<unsigned char> hash = testHash(c.length);
        const std::vector<unsigned char> signature = card->sign(hash, rsaPin);
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_EQ(signedData(RsaPair), c.prefix + toHex(hash));
        EXPECT_TRUE(verifyCardSignature(pkiDer("sign-rsa"), hash, signature));
        const bool dropped = c.length == 33;
        const std::vector<std::string> messages = logMessages();
        EXPECT_EQ(std::count(messages.begin(), messages.end(),
                             "incorrect digest length, dropping padding"),
                  dropped ? 1 : 0);
    }
    EXPECT_EQ(journal("C_SignInit slot=1 mechanism=1 ok").size(), std::size(cases));
    EXPECT_EQ(journal("C_Login slot=1 ok").size(), std::size(cases));
    EXPECT_EQ(journal("C_Logout slot=1 ok").size(), std::size(cases));
}

TEST_F(TestToken, EcSignsTheBareHashAsRAndS)
{
    struct {
        CK_SLOT_ID slot;
        const char *certificate;
        std::size_t hashLength, signatureLength;
    } cases[] = {{EcSingle, "sign-p256", 32, 64}, {P384Pair, "sign-p384", 48, 96},
                 {P384Pair, "sign-p384", 32, 96}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.certificate);
        const std::vector<unsigned char> hash = testHash(c.hashLength, 3);
        const std::vector<unsigned char> signature = token(c.slot)->sign(hash, "1234");
        EXPECT_EQ(signature.size(), c.signatureLength);
        EXPECT_EQ(signedData(c.slot), toHex(hash));
        EXPECT_EQ(journal("C_SignInit slot=" + std::to_string(c.slot) + " mechanism=1041 ok").size(),
                  1u);
        journalStart = readJournal().size();
        EXPECT_TRUE(verifyCardSignature(pkiDer(c.certificate), hash, signature));
    }
}

TEST_F(TestToken, KeyTypeIsReadFromThePublicKey)
{
    EXPECT_EQ(token(RsaPair)->getKeyType(), static_cast<CK_KEY_TYPE>(CKK_RSA));
    EXPECT_EQ(token(RsaPair, true)->getKeyType(), static_cast<CK_KEY_TYPE>(CKK_RSA));
    EXPECT_EQ(token(EcSingle)->getKeyType(), static_cast<CK_KEY_TYPE>(CKK_EC));
    EXPECT_EQ(token(DsaKey)->getKeyType(), static_cast<CK_KEY_TYPE>(CKK_DSA));
    EXPECT_EQ(errorText([&] { token(SubjectLatvian)->getKeyType(); }), "Could not read private key");
}

struct LoginCase {
    CK_SLOT_ID slot;
    const char *pin;
    const char *outcome;
};

TEST_F(TestToken, RejectedLoginsMapToTheirErrorsAndSignNothing)
{
    const LoginCase cases[] = {
        {WrongPin, "0000", "AuthenticationError"},
        {WrongPin, "12", "AuthenticationBadInput"},          // shorter than the token allows
        {WrongPin, "1234567890123", "AuthenticationBadInput"}, // longer
        {WrongPin, nullptr, "AuthenticationBadInput"},
        {Locked, "1234", "AuthenticationError"},
        {Cancel, "1234", "UserCanceledError"},
        {PinInvalid, "1234", "PKCS11 method failed."},
    };
    for (const LoginCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.slot) + " " + (c.pin ? c.pin : "null"));
        auto card = token(c.slot);
        EXPECT_EQ(errorKind([&] { card->sign(testHash(32), c.pin); }), c.outcome);
    }
    EXPECT_TRUE(journal("C_Sign").empty());
    EXPECT_TRUE(journal("C_SignInit").empty());
    // The token still takes the right PIN afterwards.
    EXPECT_EQ(token(WrongPin)->sign(testHash(32), "1234").size(), 256u);
}

TEST_F(TestToken, KeyProblemsFailAfterLoginBeforeSigning)
{
    EXPECT_EQ(errorText([&] { token(TwoKeys)->sign(testHash(32), "1234"); }),
              "Could not read private key");
    expectLogLinesInOrder({"Found 2 private keys for certificate id 01",
                           "Wrong count of private keys found 2"});
    EXPECT_EQ(errorText([&] { token(DsaKey)->sign(testHash(32), "1234"); }),
              "Private key type not supported");
    EXPECT_EQ(journal("C_Login slot=9 ok").size(), 1u);
    EXPECT_EQ(journal("C_Login slot=10 ok").size(), 1u);
    EXPECT_TRUE(journal("C_SignInit").empty());

    clearLog();
    EXPECT_EQ(errorText([&] { token(PulledAtKeySearch)->getKeyType(); }),
              "Could not read private key");
    expectLogLinesInOrder({"Error finding private key for certificate id 01"});
}

struct BrokenCase {
    CK_SLOT_ID slot;
    const char *error;
};

TEST_F(TestToken, BrokenSlotsFailConstructionAndLeaveNoSessionOpen)
{
    const BrokenCase cases[] = {
        {OpenFails, "PKCS11 method failed."},
        {NotDer, "Could not parse cert"},
        {UnavailableLength, "PKCS11 method failed."},
        {HugeLength, "PKCS11 method failed."},
        {ShortLength, "PKCS11 method failed."},
    };
    for (const BrokenCase &c : cases) {
        SCOPED_TRACE(c.slot);
        EXPECT_EQ(errorText([&] { token(c.slot); }), c.error);
        const std::string slot = " slot=" + std::to_string(c.slot);
        EXPECT_EQ(journal("C_OpenSession" + slot + " ok").size(),
                  journal("C_CloseSession" + slot + " ok").size());
    }
    // Whatever the module claims, the ID is the bytes it wrote.
    auto card = token(LongIdReport);
    expectLogLinesInOrder({"findCertificate: certificate id length: 1",
                           "findCertificate: certificate id: A5"});
    EXPECT_TRUE(verifyCardSignature(pkiDer("sign-rsa"), testHash(20),
                                    card->sign(testHash(20), "1234")));
}

TEST_F(TestToken, FailingCloseAllSessionsIsLoggedAndTeardownGoesOn)
{
    EXPECT_NO_THROW(token(CloseFails).reset());
    EXPECT_EQ(journal("C_CloseAllSessions slot=12 CKR_DEVICE_ERROR").size(), 1u);
    expectLogLinesInOrder({"Delete instance with slot 12", "Delete close all sessions with slot 12",
                           "return value 48", "Delete completed with slot 12"});
}

TEST_F(TestToken, PulledCardFailsTheRequestAndTheNextOneWorks)
{
    {
        auto card = token(PulledAtSign);
        EXPECT_EQ(errorText([&] { card->sign(testHash(32), "1234"); }), "PKCS11 method failed.");
    }
    auto again = token(PulledAtSign);
    const std::vector<unsigned char> hash = testHash(32, 9);
    EXPECT_TRUE(verifyCardSignature(pkiDer("sign-rsa"), hash, again->sign(hash, "1234")));

    EXPECT_EQ(errorText([&] { token(PulledAtOpen); }), "PKCS11 method failed.");
    EXPECT_TRUE(token(PulledAtOpen)->certificateFound);
}

struct SubjectCase {
    CK_SLOT_ID slot;
    std::string holder;
    std::string personalCode;
    const char *validTo;
};

TEST_F(TestToken, SubjectReadersShowHolderCodeAndEndOfValidity)
{
    const SubjectCase cases[] = {
        {SubjectLatvian, "Jānis Bērziņš", "PNOLV-050578-10004", "20451231235959Z"},
        {SubjectCyrillic, "Иван Петров", "PNORU-121280-10005", "20451231235959Z"},
        {SubjectNoGiven, " Kalns", "PNOLV-111111-10006", "20451231235959Z"},
        {SubjectNoSurname, "Līga ", "PNOLV-121212-10007", "20451231235959Z"},
        {SubjectNoSerial, "Ilze Bērziņa", "", "20451231235959Z"},
        {SubjectCnOnly, " ", "", "20451231235959Z"},
        {SubjectLongGiven, std::string(1023, 'x') + " Long", "PNOLV-131313-10008",
         "20451231235959Z"},
        {ValidityExpired, "Validity Test", "PNOLV-141414-10009", "20200101120000Z"},
        {ValidityUtc2049, "Validity Test", "PNOLV-141414-10009", "20491231235959Z"},
        {ValidityGen2050, "Validity Test", "PNOLV-141414-10009", "20500101000000Z"},
    };
    for (const SubjectCase &c : cases) {
        SCOPED_TRACE(c.slot);
        auto card = token(c.slot);
        ASSERT_TRUE(card->certificateFound);
        EXPECT_EQ(card->getHolderName(), c.holder);
        EXPECT_EQ(card->getSubjectX509Name("serialNumber"), c.personalCode);
        EXPECT_EQ(card->getValidTo(), c.validTo);
    }
    clearLog();
    auto card = token(SubjectNoSerial);
    EXPECT_EQ(card->getSubjectX509Name("serialNumber"), "");
    EXPECT_EQ(card->getSubjectX509Name("2.5.4.4"), "Bērziņa"); // dotted form of surname
    EXPECT_EQ(card->getSubjectX509Name("GN"), "Ilze");         // short name
    EXPECT_EQ(card->getSubjectX509Name("noSuchField"), "");
    expectLogLinesInOrder({"serialNumber length is -1, ", "2.5.4.4 length is 9, Bērziņa",
                           "noSuchField length is -1, "});
}

TEST_F(TestToken, ReadersNeedAFoundCertificate)
{
    auto card = token(EcSingle, true);
    ASSERT_FALSE(card->certificateFound);
    EXPECT_EQ(errorText([&] { card->getSubjectX509Name("surname"); }), "Could not parse cert");
    EXPECT_EQ(errorText([&] { card->getHolderName(); }), "Could not parse cert");
    EXPECT_EQ(errorText([&] { card->getValidTo(); }), "Could not parse cert");
}

TEST_F(TestToken, CryptokiCallsAreLoggedUnderTheirOwnNamesWithoutThePin)
{
    {
        auto card = token(RsaPair);
        CK_TOKEN_INFO info{};
        EXPECT_EQ(card->getTokenInfo(&info), &info);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(info.label), 8), "RSA pair");
        card->sign(testHash(32), rsaPin);
        card->getKeyType();
    }
    EXPECT_EQ(errorText([&] { token(OpenFails); }), "PKCS11 method failed.");

    const std::vector<std::string> lines = logLines();
    auto logged = [&](const std::string &function, const std::string &message) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
            return line.find(" " + function + "() [") != std::string::npos &&
                   line.size() >= message.size() &&
                   line.compare(line.size() - message.size(), message.size(), message) == 0;
        });
    };
    for (const char *function :
         {"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
          "C_GetAttributeValue", "C_GetTokenInfo", "C_Login", "C_SignInit", "C_Sign", "C_Logout",
          "C_CloseAllSessions"})
        EXPECT_GE(logged(function, "] return value 0"), 1) << function;
    EXPECT_EQ(logged("C_OpenSession", "] return value 48"), 1);
    EXPECT_EQ(logged("PKCS11CardManager::PKCS11CardManager", "] Create instance with slot 1"), 1);
    EXPECT_EQ(logged("PKCS11CardManager::getTokenInfo", "] readTokenInfo with slot 1"), 1);
    // One search for the private key, one for the public key.
    EXPECT_EQ(logged("PKCS11CardManager::findKey", "] Found 1 private keys for certificate id 01"),
              2);
    EXPECT_EQ(logged("PKCS11CardManager::sign", "] keyType: 0"), 1);
    EXPECT_EQ(logged("PKCS11CardManager::getKeyType", "] keyType: 0"), 1);
    for (const char *teardown : {"] Delete instance with slot 1", "] Delete close all sessions with slot 1",
                                 "] Delete completed with slot 1"})
        EXPECT_EQ(logged("PKCS11CardManager::~PKCS11CardManager", teardown), 1) << teardown;
    for (const std::string &line : lines) EXPECT_EQ(line.find(rsaPin), std::string::npos) << line;
}

} // namespace
