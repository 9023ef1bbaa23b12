// SIGN requests end to end: the slot search by certificate, the PIN dialog and
// its retry loop, single hashes, batches and authentication tokens, checked
// against the test token's journal and verified with OpenSSL and PyJWT.
#include "cardscenario.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace hosttest;

namespace {

const std::string origin = "https://quorvanta.lv";

std::string hashOfSize(std::size_t bytes, int seed = 1)
{
    std::vector<unsigned char> hash(bytes);
    for (std::size_t i = 0; i < bytes; ++i) hash[i] = static_cast<unsigned char>(seed * 31 + i * 7);
    return hexOfBytes(hash);
}

std::string signRequest(const std::string &cert, const std::string &hashJson,
                        const std::string &operation = "", const std::string &nonce = "s1",
                        const std::string &requestOrigin = origin)
{
    std::string text = R"({"type":"SIGN","nonce":")" + nonce + R"(","origin":")" + requestOrigin
                       + R"(","cert":")" + cert + R"(","hash":)" + hashJson;
    if (!operation.empty()) text += R"(,"operation":")" + operation + "\"";
    return text + "}";
}

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

std::string signResponse(const std::string &signature, const std::string &nonce = "s1")
{
    return "{\n\t\"api\": 1,\n\t\"nonce\": \"" + nonce + "\",\n\t\"result\": \"ok\",\n\t\"signature\": \""
           + signature + "\" \n} \n";
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

std::string field(const std::string &line, const std::string &name)
{
    const std::string key = " " + name + "=";
    std::size_t start = line.find(key);
    if (start == std::string::npos) return "<none>";
    start += key.size();
    return line.substr(start, line.find(' ', start) - start);
}

// Verifies an authentication token with PyJWT: the certificate's key, the
// algorithm, the jti (Base64 of the hash) and the origin. Empty when it verifies.
std::string jwtFailure(const std::string &token, const std::string &certificate, const std::string &alg,
                       const std::string &hash, const std::string &tokenOrigin)
{
    const std::string dir = std::string(std::getenv("QUORVANTA_PROTOCOL_WORK_DIR"));
    const std::string tokenFile = dir + "/token.txt", keyFile = dir + "/key.pem";
    std::ofstream(tokenFile) << token;
    std::ifstream der(CardScenario::pkiPath(certificate + ".der"), std::ios::binary);
    std::stringstream bytes;
    bytes << der.rdbuf();
    const std::string derText = bytes.str();
    const unsigned char *p = reinterpret_cast<const unsigned char *>(derText.data());
    X509 *cert = d2i_X509(nullptr, &p, long(derText.size()));
    if (!cert) return "no certificate " + certificate;
    FILE *out = std::fopen(keyFile.c_str(), "w");
    EVP_PKEY *key = X509_get_pubkey(cert);
    PEM_write_PUBKEY(out, key);
    std::fclose(out);
    EVP_PKEY_free(key);
    X509_free(cert);
    unsigned char jti[64];
    const std::vector<unsigned char> raw = bytesOfHex(hash);
    const int jtiLength = EVP_EncodeBlock(jti, raw.data(), int(raw.size()));
    const std::string command = std::string("/usr/bin/python3 ") + std::getenv("QUORVANTA_VERIFY_JWT") + " "
                                + tokenFile + " " + keyFile + " " + alg + " '"
                                + std::string(reinterpret_cast<char *>(jti), jtiLength) + "' '" + tokenOrigin + "'";
    return std::system(command.c_str()) == 0 ? "" : command;
}

bool canVerifyJwt()
{
    const char *script = std::getenv("QUORVANTA_VERIFY_JWT");
    return script && *script;
}

} // namespace

class Sign : public ::testing::Test {
protected:
    CardScenario card;
};

TEST_F(Sign, RsaSignaturesOfEveryHashSizeVerify)
{
    card.setFixture(tokenSlot(1, {"sign-rsa", "auth-rsa"}));
    const std::vector<std::size_t> sizes = {20, 28, 32, 36, 48, 64};
    std::string input;
    std::vector<std::string> pins;
    for (std::size_t size : sizes) {
        input += frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(size))));
        pins.push_back("pin 1234");
    }
    card.setDialogScript(pins);
    HostRun run = card.run(input);
    ASSERT_EQ(run.frames.size(), sizes.size() + 1);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string signature = member(run.frames[i], "signature");
        ASSERT_EQ(run.frames[i], signResponse(signature)) << sizes[i];
        EXPECT_EQ(signature.size(), 512u);
        EXPECT_EQ(verifySignature("sign-rsa", bytesOfHex(hashOfSize(sizes[i])), bytesOfHex(signature)), "")
            << sizes[i] << " bytes";
    }

    // A 32-byte hash reaches the card as the SHA-256 DigestInfo: 51 bytes.
    const std::string sha256 = "3031300D060960864801650304020105000420" + hashOfSize(32);
    const std::string raw36 = hashOfSize(36);
    bool sawSha256 = false, sawRaw36 = false;
    for (const std::string &line : card.tokenCalls("C_Sign ")) {
        EXPECT_EQ(field(line, "mechanism"), "1") << line;
        sawSha256 |= upper(field(line, "data")) == sha256;
        sawRaw36 |= upper(field(line, "data")) == raw36;
    }
    EXPECT_TRUE(sawSha256);
    EXPECT_TRUE(sawRaw36);
    // One login and one logout per signature; every request closes its slot.
    EXPECT_EQ(card.tokenCalls("C_Login slot=1 ok").size(), sizes.size());
    EXPECT_EQ(card.tokenCalls("C_Logout slot=1 ok").size(), sizes.size());
    EXPECT_EQ(card.tokenCalls("C_CloseAllSessions slot=1").size(), sizes.size());
}

TEST_F(Sign, EcSignaturesAreRAndSOnTheBareHash)
{
    for (const char *name : {"sign-p256", "sign-p384"}) {
        CardScenario ec;
        ec.setFixture(tokenSlot(1, {name}));
        ec.setDialogScript({"pin 1234"});
        HostRun run = ec.run(frame(signRequest(CardScenario::certificateHex(name), quoted(hashOfSize(32)))));
        ASSERT_GE(run.frames.size(), 1u);
        const std::string signature = member(run.frames[0], "signature");
        EXPECT_EQ(signature.size(), std::string(name) == "sign-p256" ? 128u : 192u) << run.frames[0];
        EXPECT_EQ(verifySignature(name, bytesOfHex(hashOfSize(32)), bytesOfHex(signature)), "") << name;
        ASSERT_FALSE(ec.tokenCalls("C_Sign ").empty());
        EXPECT_EQ(field(ec.tokenCalls("C_Sign ").back(), "mechanism"), "1041");
        EXPECT_EQ(upper(field(ec.tokenCalls("C_Sign ").back(), "data")), hashOfSize(32));
    }
}

TEST_F(Sign, PinDialogShowsTheCertificateAndTokenState)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}, "min-pin 5\nmax-pin 9\npin 12345\n"));
    const std::string other = "https://shop.example.lv";
    card.setDialogScript({"pin 12345"});
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32)),
                                             "", "s1", other)));
    ASSERT_EQ(member(run.frames[0], "result"), "ok") << run.frames[0];
    ASSERT_EQ(card.dialogs().size(), 1u);
    EXPECT_EQ(card.dialogs()[0],
              "pin origin=https://shop.example.lv holderName=Anna Ozola personalCode=PNOLV-150385-10001 "
              "validTo=20451231235959Z pinName=PIN2 batchCount=0 isAuth=0 isJwt=0 triesLeft=3 "
              "wrongPin=0 minPinLength=5 maxPinLength=9");
}

TEST_F(Sign, BatchAsksOnceAndSignsEachHashWithItsOwnLogin)
{
    card.setFixture(tokenSlot(1, {"sign-p256"}));
    card.setDialogScript({"pin 1234"});
    const std::string a = hashOfSize(32, 1), b = hashOfSize(48, 2), c = hashOfSize(20, 3);
    // "x\u2028" is not "x(": escaped names come back as the characters sent.
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("sign-p256"),
                                             "{\"second.pdf\":\"" + b + "\",\"first.pdf\":\"" + a
                                                 + "\",\"\":\"" + c + "\",\"x\\u2028\":\"" + a + "\",\"x(\":\"" + b
                                                 + "\"}")));
    ASSERT_GE(run.frames.size(), 1u);
    const std::string &text = run.frames[0];
    // An object of signatures under the batch's member names, in key order;
    // the empty name is a name like any other.
    const std::size_t empty = text.find("\t\t\"\": \"");
    const std::size_t first = text.find("\t\t\"first.pdf\": \"");
    const std::size_t second = text.find("\t\t\"second.pdf\": \"");
    ASSERT_NE(empty, std::string::npos) << text;
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(empty, first);
    EXPECT_LT(first, second);
    EXPECT_NE(text.find("\t\"signature\": {\n"), std::string::npos) << text;
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(c), bytesOfHex(member(text, ""))), "");
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(a), bytesOfHex(member(text, "first.pdf"))), "");
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(b), bytesOfHex(member(text, "second.pdf"))), "");
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(a), bytesOfHex(member(text, "x\xE2\x80\xA8"))), "");
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(b), bytesOfHex(member(text, "x("))), "");

    ASSERT_EQ(card.dialogs().size(), 1u);
    EXPECT_EQ(field(card.dialogs()[0], "batchCount"), "5");
    EXPECT_EQ(card.tokenCalls("C_Login slot=1 ok").size(), 5u);
}

TEST_F(Sign, AuthSignsAPlainHashWithTheAuthenticationKey)
{
    card.setFixture(tokenSlot(1, {"sign-rsa", "auth-rsa"}));
    card.setDialogScript({"pin 1234"});
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("auth-rsa"), quoted(hashOfSize(32)), "auth")));
    const std::string signature = member(run.frames[0], "signature");
    EXPECT_EQ(run.frames[0], signResponse(signature));
    EXPECT_EQ(verifySignature("auth-rsa", bytesOfHex(hashOfSize(32)), bytesOfHex(signature)), "");
    ASSERT_EQ(card.dialogs().size(), 1u);
    EXPECT_EQ(field(card.dialogs()[0], "isAuth"), "1");
    EXPECT_EQ(field(card.dialogs()[0], "pinName"), "PIN");
}


TEST_F(Sign, JwtTokensVerifyWithPyJwt)
{
    if (!canVerifyJwt()) GTEST_SKIP() << "QUORVANTA_VERIFY_JWT is not set";
    struct Case {
        const char *certificate, *alg, *origin, *sent = nullptr; // the origin as the request writes it
    } cases[] = {
        {"auth-rsa", "RS256", "https://quorvanta.lv/login/page"},
        {"auth-p384", "ES384", "https://id.quorvanta.lv"},
        {"auth-rsa", "RS256", "https://\xC4\x81\xF0\x9F\x94\x91.example", "https://\\u0101\\ud83d\\udd11.example"},
    };
    for (const Case &c : cases) {
        CardScenario jwt;
        jwt.setFixture(tokenSlot(1, {c.certificate}));
        jwt.setDialogScript({"pin 1234"});
        const std::string hash = hashOfSize(32);
        HostRun run = jwt.run(frame(signRequest(CardScenario::certificateHex(c.certificate), quoted(hash), "jwt",
                                                "s1", c.sent ? c.sent : c.origin)));
        ASSERT_GE(run.frames.size(), 1u);
        const std::string token = member(run.frames[0], "signature");
        ASSERT_EQ(std::count(token.begin(), token.end(), '.'), 2) << run.frames[0];
        ASSERT_EQ(field(jwt.dialogs()[0], "isJwt"), "1");
        EXPECT_EQ(jwtFailure(token, c.certificate, c.alg, hash, c.origin), "");
    }
}

// PKCS#11 lets the length query of C_Sign report more than the signature
// needs; the signing call then reports the real length, and only that much is
// the signature. The test token and SoftHSM2 (Linux) with a query 16 bytes long.
TEST_F(Sign, SignatureHasTheLengthTheCardWrote)
{
    struct Case {
        const char *softhsm; // the SoftHSM2 scenario, or null for the test token
        const char *certificate, *operation;
        std::size_t signatureHex;
    } cases[] = {
        {nullptr, "sign-rsa", "", 512}, {nullptr, "sign-p256", "", 128}, {nullptr, "auth-rsa", "jwt", 0},
        {"rsa", "sign-rsa", "", 512},   {"p256", "sign-p256", "", 128},   {"rsa", "auth-rsa", "jwt", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.softhsm ? c.softhsm : "test token") + " " + c.certificate);
        const bool jwt = std::string(c.operation) == "jwt";
        if ((c.softhsm && hostRunsUnderWine()) || (jwt && !canVerifyJwt())) continue;
        CardScenario padded;
        if (c.softhsm) {
            const std::string softhsm = std::getenv("QUORVANTA_SOFTHSM_DIR");
            padded.withModule(std::getenv("QUORVANTA_PADDED_MODULE_DIR"),
                              {{"SOFTHSM2_CONF", softhsm + "/" + c.softhsm + "/softhsm2.conf"},
                               {"QUORVANTA_FORWARD_MODULE", softhsm + "/module/libquorvanta-module.so"}});
            padded.setDialogScript({"pin 12345"});
        } else {
            padded.setFixture(tokenSlot(1, {c.certificate}, "sign-length-extra 16\n"));
            padded.setDialogScript({"pin 1234"});
        }
        const std::string hash = hashOfSize(32);
        HostRun run = padded.run(frame(signRequest(CardScenario::certificateHex(c.certificate), quoted(hash),
                                                   c.operation)));
        ASSERT_GE(run.frames.size(), 1u);
        const std::string signature = member(run.frames[0], "signature");
        ASSERT_EQ(run.frames[0], signResponse(signature));
        if (jwt) {
            EXPECT_EQ(jwtFailure(signature, c.certificate, "RS256", hash, origin), "");
        } else {
            EXPECT_EQ(signature.size(), c.signatureHex);
            EXPECT_EQ(verifySignature(c.certificate, bytesOfHex(hash), bytesOfHex(signature)), "");
        }
    }
}

TEST_F(Sign, WrongPinBringsTheDialogBackWithTheFreshRetryState)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"pin 9999", "pin 1234"});
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32)))));
    ASSERT_GE(run.frames.size(), 1u);
    EXPECT_EQ(member(run.frames[0], "result"), "ok") << run.frames[0];
    const std::vector<std::string> dialogs = card.dialogs();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(field(dialogs[0], "wrongPin"), "0");
    EXPECT_EQ(field(dialogs[0], "triesLeft"), "3");
    EXPECT_EQ(field(dialogs[1], "wrongPin"), "1");
    EXPECT_EQ(field(dialogs[1], "triesLeft"), "2");
    EXPECT_FALSE(card.tokenCalls("C_Sign ").empty());
    EXPECT_NE(card.log().find("] Wrong pin\n"), std::string::npos);
}

TEST_F(Sign, PinLengthRejectedByTheTokenAsksAgainWithoutWrongPin)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"pin 12", "pin 1234"});
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32)))));
    EXPECT_EQ(member(run.frames[0], "result"), "ok") << run.frames[0];
    ASSERT_EQ(card.dialogs().size(), 2u);
    EXPECT_EQ(field(card.dialogs()[1], "wrongPin"), "0");
    EXPECT_EQ(field(card.dialogs()[1], "triesLeft"), "3");
    EXPECT_NE(card.log().find("] Bad pin input\n"), std::string::npos);
}

TEST_F(Sign, LockedPinCanOnlyEndAsUserCancel)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}, "tries-left 0\n"));
    card.setDialogScript({"pin cancel"});
    const std::string request = signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32)));
    HostRun run = card.run(frame(request) + frame(R"({"type":"VERSION","nonce":"v","origin":")" + origin + "\"}"));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("user_cancel", "User cancelled", "s1"));
    EXPECT_EQ(member(run.frames[1], "version"), "2.3.9");
    EXPECT_EQ(field(card.dialogs()[0], "triesLeft"), "0");
    EXPECT_TRUE(card.tokenCalls("C_Login").empty());
}

TEST_F(Sign, CardErrorsAfterThePinEndTheHost)
{
    struct Case {
        const char *fixture, *message;
    } cases[] = {
        {"fail-login CKR_FUNCTION_CANCELED\n", "User canceled"},
        {"remove-at C_Sign 1 CKR_DEVICE_REMOVED\n", "PKCS11 method failed."},
        {"remove-at C_Login 1 CKR_TOKEN_NOT_PRESENT\n", "PKCS11 method failed."},
    };
    for (const Case &c : cases) {
        CardScenario failing;
        failing.setFixture(tokenSlot(1, {"sign-rsa"}, c.fixture));
        failing.setDialogScript({"pin 1234", "pin 1234"});
        HostRun run = failing.run(frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32))))
                                  + frame(signRequest(CardScenario::certificateHex("sign-rsa"), quoted(hashOfSize(32)))));
        ASSERT_EQ(run.frames.size(), 1u) << c.fixture;
        EXPECT_EQ(run.frames[0], endingResponse("technical_error", c.message, "s1")) << c.fixture;
        EXPECT_EQ(run.exitCode, 1);
    }
}

// What the request alone shows to be wrong is refused before the card is
// looked for: the answer is the same whether the certificate's card, another
// card, no card or no card module is there, so a page cannot find out
// unseen whose card is inserted.
TEST_F(Sign, RefusedShapesGetTheSameAnswerWhateverCardIsInserted)
{
    const std::string cert = CardScenario::certificateHex("sign-rsa");
    const std::string refused[] = {
        signRequest(cert, quoted(hashOfSize(33))),
        signRequest(cert, quoted(hashOfSize(31))),
        signRequest(cert, quoted(hashOfSize(1))),
        signRequest(cert, quoted(hashOfSize(32) + "A")), // no whole number of bytes
        signRequest(cert, "{\"a\":\"" + hashOfSize(32) + "\",\"b\":\"" + hashOfSize(33) + "\"}"),
        signRequest(cert, "{\"a\":\"" + hashOfSize(32) + "\",\"b\":5}"),
        signRequest(cert, "{\"a\":\"" + hashOfSize(32) + "\",\"b\":{\"c\":\"" + hashOfSize(32) + "\"}}"),
        signRequest(cert, "{}"),
    };
    std::string input;
    for (const std::string &r : refused) input += frame(r);
    for (const char *inserted : {"sign-rsa", "sign-p256", "", "no module"}) {
        SCOPED_TRACE(inserted);
        CardScenario scenario;
        if (*inserted == 0) scenario.setFixture("slot 1\nno-token\n");
        else if (std::string(inserted) == "no module") scenario.withoutModule();
        else scenario.setFixture(tokenSlot(1, {inserted}));
        HostRun run = scenario.run(input);
        ASSERT_EQ(run.frames.size(), std::size(refused) + 1);
        for (std::size_t i = 0; i < std::size(refused); ++i)
            EXPECT_EQ(run.frames[i], handledResponse("invalid_argument", "Invalid Hash", "s1")) << refused[i];
        EXPECT_TRUE(scenario.dialogs().empty());
        EXPECT_TRUE(scenario.tokenCalls("C_OpenSession").empty());
    }
}

TEST_F(Sign, CertificateThatNoTokenHoldsEndsTheHost)
{
    card.setFixture(tokenSlot(1, {"auth-rsa"}) + tokenSlot(2, {"sign-p256"}));
    for (const std::string &cert : {CardScenario::certificateHex("sign-rsa"), std::string("ABC")}) {
        HostRun run = card.run(frame(signRequest(cert, quoted(hashOfSize(32)))));
        ASSERT_EQ(run.frames.size(), 1u);
        EXPECT_EQ(run.frames[0], endingResponse("invalid_argument", "No card manager found for this certificate", "s1"));
        EXPECT_EQ(run.exitCode, 1);
    }
    EXPECT_TRUE(card.dialogs().empty());
}

TEST_F(Sign, CertificateOnTheSecondTokenIsFound)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}) + tokenSlot(2, {"sign-p256"}));
    card.setDialogScript({"pin 1234"});
    HostRun run = card.run(frame(signRequest(CardScenario::certificateHex("sign-p256"), quoted(hashOfSize(32)))));
    const std::string signature = member(run.frames[0], "signature");
    EXPECT_EQ(verifySignature("sign-p256", bytesOfHex(hashOfSize(32)), bytesOfHex(signature)), "");
    const std::string log = card.log();
    EXPECT_NE(log.find("] Card manager not found with this slot\n"), std::string::npos);
    EXPECT_NE(log.find("] Card manager found with this slot\n"), std::string::npos);
    EXPECT_TRUE(card.tokenCalls("C_Login slot=1").empty());
}

// Browsers drop any message from a host above 1048576 bytes. A batch whose
// answer would reach one byte beyond is refused before the PIN dialog and the
// host goes on; one whose answer is exactly at the limit goes ahead.
TEST_F(Sign, BatchWhoseAnswerExceedsTheBrowserLimitIsRefusedBeforeThePin)
{
    constexpr std::size_t limit = 1048576;
    const struct {
        const char *certificate;
        std::size_t signatureHex;
    } keys[] = {{"sign-p256", 128}, {"sign-rsa", 512}};
    for (const auto &key : keys) {
        SCOPED_TRACE(key.certificate);
        // The answer's exact text: the envelope, then one member per hash.
        const std::string head = "{\n\t\"api\": 1,\n\t\"nonce\": \"s1\",\n\t\"result\": \"ok\",\n\t\"signature\": {\n";
        const std::string tail = " \n\t} \n} \n";
        const std::size_t nameLength = 7; // "h" and six digits
        auto answerLength = [&](std::size_t count) {
            return head.size() + tail.size() + count * (nameLength + key.signatureHex + 8) + (count - 1) * 2;
        };
        std::size_t count = 1;
        while (answerLength(count + 1) <= limit) ++count;
        auto batch = [&](std::size_t answer) {
            std::string text = "{";
            const std::string hash = hashOfSize(32);
            for (std::size_t i = 0; i < count; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "h%06zu", i);
                std::string padded = name;
                // The last name grows until the answer has the wanted length.
                if (i + 1 == count) padded += std::string(answer - answerLength(count), 'x');
                text += (i ? ",\"" : "\"") + padded + "\":\"" + hash + "\"";
            }
            return text + "}";
        };

        CardScenario scenario;
        scenario.setFixture(tokenSlot(1, {key.certificate}));
        scenario.setDialogScript({"pin cancel"});
        const std::string cert = CardScenario::certificateHex(key.certificate);
        HostRun run = scenario.run(frame(signRequest(cert, batch(limit + 1)))
                                   + frame(signRequest(cert, batch(limit)))
                                   + frame(request({{"type", "VERSION"}, {"nonce", "v"}, {"origin", origin}})));
        ASSERT_EQ(run.frames.size(), 4u);
        EXPECT_EQ(run.frames[0], handledResponse("invalid_argument",
            "Too many hashes: the signatures would exceed the browser's limit of 1048576 bytes", "s1"));
        // Exactly at the limit: the PIN dialog is shown (and cancelled here).
        EXPECT_EQ(run.frames[1], handledResponse("user_cancel", "User cancelled", "s1"));
        EXPECT_EQ(member(run.frames[2], "version"), "2.3.9");
        EXPECT_EQ(scenario.dialogs().size(), 1u);

        // The size follows from the request's certificate: without its card
        // the answer is the same.
        CardScenario absent;
        absent.setFixture("slot 1\nno-token\n");
        EXPECT_EQ(absent.run(frame(signRequest(cert, batch(limit + 1)))).frames.at(0), run.frames[0]);
    }
}
