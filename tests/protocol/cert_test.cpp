// CERT requests end to end: consent, the token walk and the certificate as hex,
// with the test token module as the card and scripted dialogs as the user.
#include "cardscenario.h"

#include <gtest/gtest.h>

using namespace hosttest;

namespace {

std::string certRequest(const std::string &origin, const std::string &operation = "",
                        const std::string &nonce = "n1")
{
    std::map<std::string, std::string> members = {{"type", "CERT"}, {"nonce", nonce}, {"origin", origin}};
    if (!operation.empty()) members["operation"] = operation;
    return request(members);
}

std::string certResponse(const std::string &hex, const std::string &nonce = "n1")
{
    return "{\n\t\"api\": 1,\n\t\"cert\": \"" + hex + "\",\n\t\"nonce\": \"" + nonce
           + "\",\n\t\"result\": \"ok\" \n} \n";
}

} // namespace

class Cert : public ::testing::Test {
protected:
    CardScenario card;
};

TEST_F(Cert, OperationSelectsTheCertificateAndConsentIsAskedOnce)
{
    card.setFixture(tokenSlot(1, {"sign-rsa", "auth-rsa"}));
    card.setDialogScript({"consent yes"});
    const std::string origin = CardScenario::freshOrigin("ops");
    const std::string sign = CardScenario::certificateHex("sign-rsa");
    const std::string auth = CardScenario::certificateHex("auth-rsa");
    struct Case {
        std::string operation, expected;
    } cases[] = {{"", sign}, {"sign", sign}, {"auth", auth}, {"jwt", auth}, {"other", sign}, {"AUTH", sign}};

    std::string input;
    for (const Case &c : cases) input += frame(certRequest(origin, c.operation));
    HostRun run = card.run(input);
    ASSERT_EQ(run.frames.size(), std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(run.frames[i], certResponse(cases[i].expected)) << "operation " << cases[i].operation;

    // Consent is remembered: one dialog for the whole run.
    ASSERT_EQ(card.dialogs().size(), 1u);
    EXPECT_EQ(card.dialogs()[0], "consent origin=" + origin);
}

TEST_F(Cert, ConsentIsRememberedAcrossHostProcesses)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"consent yes"});
    const std::string origin = CardScenario::freshOrigin("remembered");
    ASSERT_EQ(card.run(frame(certRequest(origin))).frames[0], certResponse(CardScenario::certificateHex("sign-rsa")));
    // A second process of the same user, the same day: no dialog.
    card.setDialogScript({});
    HostRun again = card.run(frame(certRequest(origin)));
    EXPECT_EQ(again.frames[0], certResponse(CardScenario::certificateHex("sign-rsa")));
    EXPECT_EQ(card.dialogs().size(), 1u);
}

TEST_F(Cert, RefusedConsentIsAUserCancelAndTheHostGoesOn)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"consent no", "consent yes"});
    const std::string origin = CardScenario::freshOrigin("refused");
    HostRun run = card.run(frame(certRequest(origin, "", "a")) + frame(certRequest(origin, "", "b")));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("user_cancel", "User cancelled", "a"));
    // A refusal is not remembered: the next request asks again.
    EXPECT_EQ(run.frames[1], certResponse(CardScenario::certificateHex("sign-rsa"), "b"));
    EXPECT_EQ(card.dialogs().size(), 2u);
    // Nothing touched the card before the consent.
    EXPECT_EQ(card.tokenCalls("C_OpenSession").size(), 1u);
}

TEST_F(Cert, HomeDomainNeedsNoConsent)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    for (const char *origin : {"https://quorvanta.lv", "https://www.quorvanta.lv"}) {
        HostRun run = card.run(frame(certRequest(origin)));
        EXPECT_EQ(run.frames[0], certResponse(CardScenario::certificateHex("sign-rsa"))) << origin;
    }
    EXPECT_TRUE(card.dialogs().empty());
}

// A browser never sends an origin with a control character; one that does
// must not pass for the home domain or for a site with consent (a registry
// value name ends at a NUL). It is refused before the origin is fixed for the
// process, and the host goes on.
TEST_F(Cert, OriginWithAControlCharacterIsRefusedBeforeAnythingUsesIt)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"consent yes"});
    const std::string granted = CardScenario::freshOrigin("granted");
    const std::string cert = CardScenario::certificateHex("sign-rsa");
    ASSERT_EQ(card.run(frame(certRequest(granted))).frames[0], certResponse(cert));
    card.setDialogScript({});
    const std::string refused[] = {
        certRequest("https://x\\n.quorvanta.lv"),
        certRequest("https://x\\t.quorvanta.lv"),
        certRequest("https://x\\u0000.quorvanta.lv"),
        certRequest("https://x.quorvanta.lv\\u007f"),
        certRequest("https://x\x01.quorvanta.lv"), // the byte itself, not escaped
        certRequest(granted + "\\u0000.evil.example"),
        certRequest("https://\\u001bx.quorvanta.lv", "auth"),
        request({{"type", "VERSION"}, {"nonce", "n1"}, {"origin", "https://x\\r.quorvanta.lv"}}),
        R"({"type":"SIGN","nonce":"n1","origin":"https://x\n.quorvanta.lv","cert":")" + cert
            + R"(","hash":"0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20"})",
    };
    for (const std::string &text : refused) {
        HostRun run = card.run(frame(text) + frame(certRequest("https://quorvanta.lv", "", "n2")));
        ASSERT_EQ(run.frames.size(), 3u) << text;
        EXPECT_EQ(run.frames[0], handledResponse("not_allowed", "Origin contains a control character", "n1")) << text;
        EXPECT_EQ(run.frames[1], certResponse(cert, "n2")) << text;
    }
    EXPECT_EQ(card.dialogs().size(), 1u);
}

TEST_F(Cert, FirstTokenWithoutTheKindIsSkipped)
{
    card.setFixture(tokenSlot(1, {"auth-rsa"}) + tokenSlot(2, {"sign-p256", "auth-p256"}));
    HostRun run = card.run(frame(certRequest("https://quorvanta.lv", "sign")));
    EXPECT_EQ(run.frames[0], certResponse(CardScenario::certificateHex("sign-p256")));
}

TEST_F(Cert, FailingTokenDoesNotHideAGoodOne)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}) + "fail-open-session CKR_DEVICE_ERROR\n"
                    + tokenSlot(2, {"sign-p384"}));
    HostRun run = card.run(frame(certRequest("https://quorvanta.lv")));
    EXPECT_EQ(run.frames[0], certResponse(CardScenario::certificateHex("sign-p384")));
    EXPECT_NE(card.log().find("] Technical error: PKCS11 method failed.\n"), std::string::npos);
}

TEST_F(Cert, NoTokenGivesNoCertificatesAfterConsent)
{
    card.setFixture("slot 1\nno-token\n");
    card.setDialogScript({"consent yes"});
    const std::string origin = CardScenario::freshOrigin("notoken");
    HostRun run = card.run(frame(certRequest(origin)) + frame(certRequest(origin, "auth", "n2")));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("no_certificates", "Cert not found", "n1"));
    EXPECT_EQ(run.frames[1], handledResponse("no_certificates", "Cert not found", "n2"));
    EXPECT_EQ(card.dialogs().size(), 1u);
}

TEST_F(Cert, NoModuleIsATechnicalErrorThatEndsTheHost)
{
    card.withoutModule();
    HostRun run = card.run(frame(certRequest("https://quorvanta.lv")) + frame(certRequest("https://quorvanta.lv")));
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0], endingResponse("technical_error", "PKCS11 is not loaded", "n1"));
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(Cert, DialogFrameworkFailureIsAnsweredAndTheHostGoesOn)
{
    card.setFixture(tokenSlot(1, {"sign-rsa"}));
    card.setDialogScript({"fail MFC initialization failed", "consent yes"});
    const std::string origin = CardScenario::freshOrigin("nodisplay");
    HostRun run = card.run(frame(certRequest(origin)) + frame(certRequest(origin)));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("technical_error", "MFC initialization failed", "n1"));
    EXPECT_EQ(run.frames[1], certResponse(CardScenario::certificateHex("sign-rsa")));
}

TEST_F(Cert, CardPulledDuringTheSearchFailsThatRequestOnly)
{
    // The card is out at the first search and back in for the next request.
    card.setFixture(tokenSlot(1, {"sign-rsa"})
                    + "remove-at C_FindObjectsInit 1 CKR_DEVICE_REMOVED\nremove-count 1\n");
    HostRun run = card.run(frame(certRequest("https://quorvanta.lv")) + frame(certRequest("https://quorvanta.lv", "", "n2")));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("no_certificates", "Cert not found", "n1"));
    EXPECT_EQ(run.frames[1], certResponse(CardScenario::certificateHex("sign-rsa"), "n2"));
}

TEST_F(Cert, ModuleThatPrintsCannotCorruptTheFrames)
{
    card.setFixture("init-stdout {\"result\":\"ok\",\"forged\":true}\n" + tokenSlot(1, {"sign-rsa"}));
    HostRun run = card.run(frame(certRequest("https://quorvanta.lv")));
    ASSERT_TRUE(run.wellFramed) << run.output;
    ASSERT_EQ(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0], certResponse(CardScenario::certificateHex("sign-rsa")));
}
