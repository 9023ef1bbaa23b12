// The dialog models: origin line and its font factor, warnings, validity and
// expiry, the error line, PIN enabling rules, the consent dialog's texts and
// what screen readers get, in all three languages; how a long origin line is
// fitted to its width; the dialogs' quiet second and the colour of their red
// lines.
#include "dialogmodel.h"
#include "originline.h"
#include "quietperiod.h"
#include "textcatalogue.h"
#include "textcolour.h"
#include "utf.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// 2027-12-31 23:59:59 UTC and one second either side of it.
const std::time_t endOf2027 = 1830297599;

class DialogModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TextCatalogue::setLanguage("en");
        input.origin = "https://example.com";
        input.holderName = "ANNA BERZINA";
        input.personalCode = "PNOLV-010190-12345";
        input.validTo = "20271231235959Z";
        input.pinName = "PIN2";
        input.minPinLength = 4;
        input.maxPinLength = 8;
    }
    void TearDown() override { TextCatalogue::setLanguage("en"); }

    PinDialogModel model(const char *lang = "en", std::time_t now = endOf2027 - 100)
    {
        TextCatalogue::setLanguage(lang);
        return PinDialogModel(input, now);
    }

    PinDialogInput input;
};

TEST_F(DialogModelTest, OriginLosesOnlyTheFirstHttpsScheme)
{
    const struct {
        const char *origin;
        const char *shown;
    } cases[] = {
        {"https://example.com", "example.com"},
        {"https://https://example.com", "https://example.com"},
        {"http://example.com", "http://example.com"},
        {"HTTPS://example.com", "HTTPS://example.com"},
        {"https://example.com:8443", "example.com:8443"},
        {"wss://https://x.lv", "wss://x.lv"},
        {"", ""},
    };
    for (const auto &c : cases) {
        input.origin = c.origin;
        EXPECT_EQ(model().origin, c.shown) << c.origin;
        EXPECT_EQ(ConsentDialogModel(c.origin).origin, c.shown) << c.origin;
    }
}

TEST_F(DialogModelTest, OriginFontFactorByUtf16Length)
{
    const struct {
        std::string shown;
        double factor;
    } cases[] = {
        {std::string(11, 'a'), 2.0},
        {std::string(25, 'a'), 2.0},
        {std::string(26, 'a'), 1.8},
        {std::string(30, 'a'), 1.8},
        {std::string(31, 'a'), 1.5},
        // 25 Cyrillic letters are 50 bytes but 25 UTF-16 units.
        {[] { std::string s; for (int i = 0; i < 25; ++i) s += "ж"; return s; }(), 2.0},
        // A character beyond the BMP counts as two units: 24 + 2 = 26.
        {std::string(24, 'a') + "\xF0\x9F\x98\x80", 1.8},
    };
    for (const auto &c : cases) {
        input.origin = "https://" + c.shown;
        EXPECT_DOUBLE_EQ(model().originFontFactor, c.factor) << c.shown;
        EXPECT_DOUBLE_EQ(ConsentDialogModel(input.origin).originFontFactor, c.factor) << c.shown;
    }
}

TEST_F(DialogModelTest, TitleAndWarningByOperation)
{
    const struct {
        bool isAuth, isJwt;
        int batchCount;
        const char *lang, *title, *warningStart;
        bool red;
    } cases[] = {
        {false, false, 0, "en", "Signature required", "The site requests your electronic signature to sign 1 file.", false},
        {false, false, 1, "en", "Signature required", "The site requests your electronic signature to sign 1 file.", false},
        {false, false, 5, "en", "Signature required", "The site requests your electronic signature to sign 5 files.", false},
        {false, false, 5, "lv", "Parakstu pieprasa", "Vietne pieprasa Jūsu elektronisko parakstu 5 datņu parakstīšanai.\n", false},
        {false, false, 12, "ru", "Требуется подпись", "Сайт требует вашей электронной подписи для подписи 12 файлов.", false},
        {false, false, 1, "ru", "Требуется подпись", "Сайт требует вашей электронной подписи для подписи 1 файла.", false},
        {true, false, 5, "en", "Authentication required", "Attention!\nThe website", true},
        {true, false, 0, "lv", "Autentifikāciju pieprasa", "Uzmanību!\n", true},
        {true, false, 0, "ru", "Требуется авторизация", "Внимание!\n", true},
        {true, true, 0, "en", "Authentication required", "", false},
        {true, true, 0, "ru", "Требуется авторизация", "", false},
    };
    for (const auto &c : cases) {
        input.isAuth = c.isAuth;
        input.isJwt = c.isJwt;
        input.batchCount = c.batchCount;
        const PinDialogModel m = model(c.lang);
        EXPECT_EQ(m.title, c.title);
        EXPECT_EQ(m.warning.compare(0, std::string(c.warningStart).size(), c.warningStart), 0)
            << c.lang << " batch " << c.batchCount << ": " << m.warning;
        EXPECT_EQ(m.warningRed, c.red) << c.lang << " " << c.isAuth << c.isJwt;
        EXPECT_EQ(m.warning.find("%lu"), std::string::npos);
    }
    input.isAuth = input.isJwt = true;
    EXPECT_EQ(model().warning, "");
}

TEST_F(DialogModelTest, ValidityLineAndExpiry)
{
    const struct {
        const char *validTo;
        std::time_t now;
        const char *lang, *validity;
        bool expired;
    } cases[] = {
        {"20271231235959Z", endOf2027 - 1, "en", "The certificate is valid until: 31.12.2027", false},
        {"20271231235959Z", endOf2027, "en", "The certificate is valid until: 31.12.2027", true},
        {"20271231235959Z", endOf2027 + 1, "lv", "Sertifikāts derīgs līdz: 31.12.2027", true},
        {"20270305000000Z", 0, "ru", "Сертификат действителен до: 05.03.2027", false},
        // The date shown is the UTC date, whatever the local zone would say.
        {"20280101000000Z", endOf2027 + 1, "en", "The certificate is valid until: 01.01.2028", true},
        // Does not parse: the reformatted text is shown and it counts as expired.
        {"20271231235959", 0, "en", "The certificate is valid until: 2027-12-31 23:59:59", true},
        {"20271331235959Z", 0, "en", "The certificate is valid until: 2027-13-31 23:59:59Z", true},
        {"2027123123595", 0, "en", "The certificate is valid until: 2027-12-31 23:59:5", true},
        {"202712312359", 0, "en", "The certificate is valid until: 2027-12-31 23:59", true},
        {"2027", 0, "en", "The certificate is valid until: 2027", true},
        {"", 0, "en", "The certificate is valid until: ", true},
        {"abcdefghijklmnZ", 0, "en", "The certificate is valid until: abcd-ef-gh ij:kl:mnZ", true},
    };
    for (const auto &c : cases) {
        input.validTo = c.validTo;
        const PinDialogModel m = model(c.lang, c.now);
        EXPECT_EQ(m.validity, c.validity) << c.validTo;
        EXPECT_EQ(m.expired, c.expired) << c.validTo << " at " << c.now;
    }
}

TEST_F(DialogModelTest, ErrorLineForms)
{
    const struct {
        bool wrongPin;
        int triesLeft;
        bool expired;
        const char *lang, *pinName, *line;
    } cases[] = {
        {false, 3, false, "en", "PIN2", ""},
        {false, 3, true, "en", "PIN2", "Certificate has expired. "},
        {false, 2, false, "en", "PIN2", "Tries left: 2"},
        {false, 1, true, "en", "PIN1", "Certificate has expired. Tries left: 1"},
        {false, 0, false, "en", "PIN2", "Tries left: 0"},
        {true, 1, false, "en", "PIN2", "Incorrect PIN2!  Tries left: 1"},
        {true, 3, false, "en", "PIN1", "Incorrect PIN1!  Tries left: 3"},
        {true, 2, true, "en", "PIN", "Certificate has expired. Incorrect PIN!  Tries left: 2"},
        {true, 2, false, "lv", "PIN2", "Nepareizs PIN2!  Atlikuši mēginājumi: 2"},
        {true, 1, false, "ru", "PIN1", "Неправильный PIN1!  Возможных попыток: 1"},
        {false, 2, true, "ru", "PIN2", "Срок действия сертификата истек. Возможных попыток: 2"},
    };
    for (const auto &c : cases) {
        input.wrongPin = c.wrongPin;
        input.triesLeft = c.triesLeft;
        input.pinName = c.pinName;
        EXPECT_EQ(model(c.lang, c.expired ? endOf2027 + 10 : endOf2027 - 10).errorLine, c.line)
            << c.lang << " wrong " << c.wrongPin << " tries " << c.triesLeft;
    }
}

TEST_F(DialogModelTest, PinLabelButtonsAndPlainTexts)
{
    for (const char *lang : {"lv", "en", "ru"}) {
        const PinDialogModel m = model(lang);
        EXPECT_EQ(m.pinLabel, "PIN2:");
        EXPECT_EQ(m.okText, TextCatalogue::get("confirm"));
        EXPECT_EQ(m.cancelText, TextCatalogue::get("cancel"));
        EXPECT_EQ(m.holderName, "ANNA BERZINA");
        EXPECT_EQ(m.personalCode, "PNOLV-010190-12345");
    }
    TextCatalogue::setLanguage("ru");
    const ConsentDialogModel consent("https://example.com");
    EXPECT_EQ(consent.title, "Требуется сертификаты");
    EXPECT_EQ(consent.confirmText, "Подтверждать");
    EXPECT_EQ(consent.cancelText, "Отменить");
    EXPECT_EQ(consent.warning.rfind("Сайт требует ваши сертификати.\n", 0), 0u) << consent.warning;
    EXPECT_EQ(consent.description, "example.com\n" + consent.warning);
}

TEST_F(DialogModelTest, DescriptionsForScreenReaders)
{
    const struct {
        bool isJwt, wrongPin;
        int triesLeft;
        const char *lang, *description, *fieldDescription;
    } cases[] = {
        {false, false, 3, "en",
         "example.com\nThe site requests your electronic signature to sign 1 file.\nContinue if you "
         "have trust in the site.\n<b>ANNA</b>\nPNOLV-010190-12345\nThe certificate is valid until: 31.12.2027", ""},
        // The empty warning of a login token is left out.
        {true, true, 1, "lv",
         "example.com\n<b>ANNA</b>\nPNOLV-010190-12345\nSertifikāts derīgs līdz: 31.12.2027\nNepareizs PIN2!  "
         "Atlikuši mēginājumi: 1",
         "Nepareizs PIN2!  Atlikuši mēginājumi: 1"},
        {true, false, 2, "ru",
         "example.com\n<b>ANNA</b>\nPNOLV-010190-12345\nСертификат действителен до: 31.12.2027\nВозможных попыток: 2",
         "Возможных попыток: 2"},
    };
    input.holderName = "<b>ANNA</b>"; // names stay plain text
    for (const auto &c : cases) {
        input.isAuth = input.isJwt = c.isJwt;
        input.wrongPin = c.wrongPin;
        input.triesLeft = c.triesLeft;
        const PinDialogModel m = model(c.lang);
        EXPECT_EQ(m.description, c.description) << c.lang;
        EXPECT_EQ(m.pinFieldDescription, c.fieldDescription) << c.lang;
    }
}

// The quiet second on a clock that moves only when the test moves it.
TEST(QuietPeriodTest, KeysAndConfirmingWaitForASecondOfFocusWithoutKeys)
{
    using std::chrono::milliseconds;
    milliseconds now{5000};
    QuietPeriod quiet([&] { return now; });
    const struct {
        const char *step;
        int advance;        // milliseconds before the step
        char input;         // 'k' key, 'e' Escape, '+' focus gained, '-' focus lost, ' ' nothing
        bool acts, mayConfirm;
    } steps[] = {
        {"a key before the dialog has the focus", 0, 'k', false, false},
        {"the focus", 3000, '+', true, false},
        {"a key at once", 10, 'k', false, false},
        {"Escape at once", 0, 'e', true, false},
        {"999 ms after the last key", 999, ' ', true, false},
        {"a key then: starts the second again", 0, 'k', false, false},
        {"another 999 ms", 999, ' ', true, false},
        {"a full second without a key", 1, ' ', true, true},
        {"a key now acts", 0, 'k', true, true},
        {"keys go on acting", 5000, 'k', true, true},
        {"the focus lost", 0, '-', true, false},
        {"a key without the focus", 2000, 'k', false, false},
        {"the focus back: a new second", 0, '+', true, false},
        {"a second later", 1000, 'k', true, true},
    };
    for (const auto &s : steps) {
        now += milliseconds(s.advance);
        bool acts = true;
        if (s.input == 'k' || s.input == 'e') acts = quiet.keyPressed(s.input == 'e');
        if (s.input == '+' || s.input == '-') quiet.setFocused(s.input == '+');
        EXPECT_EQ(acts, s.acts) << s.step;
        EXPECT_EQ(quiet.mayConfirm(), s.mayConfirm) << s.step;
    }
}

TEST(TextColourTest, RedLinesReachTheContrastOnTheirBackground)
{
    // Figures of the Web Content Accessibility Guidelines' own examples.
    EXPECT_NEAR(contrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
    EXPECT_NEAR(contrastRatio({255, 0, 0}, {255, 255, 255}), 4.0, 0.01);
    EXPECT_NEAR(contrastRatio({118, 118, 118}, {255, 255, 255}), 4.54, 0.01);
    const struct {
        Rgb background, red;
    } cases[] = {
        {{239, 239, 239}, {192, 0, 0}}, // Qt's Fusion window
        {{240, 240, 240}, {192, 0, 0}}, // Windows' and Wine's dialog face
        {{255, 255, 255}, {192, 0, 0}},
        {{212, 208, 200}, {183, 0, 0}}, // classic Windows: darker still
        {{0, 0, 0}, {255, 0, 0}},       // dark backgrounds: a lighter red
        {{49, 54, 59}, {255, 111, 111}},
    };
    for (const auto &c : cases) {
        const Rgb red = readableRed(c.background);
        EXPECT_EQ(red.r, c.red.r) << c.background.r;
        EXPECT_EQ(red.g, c.red.g) << c.background.r;
        EXPECT_GE(contrastRatio(red, c.background), 4.5) << c.background.r;
    }
    // Pure red, as the dialogs drew it before, did not reach it.
    EXPECT_LT(contrastRatio({255, 0, 0}, {239, 239, 239}), 4.5);
}

TEST_F(DialogModelTest, OkEnablingByPinLength)
{
    const struct {
        int minLength, maxLength, triesLeft;
        std::size_t typed;
        bool enabled;
    } cases[] = {
        {4, 8, 3, 0, false}, {4, 8, 3, 3, false}, {4, 8, 3, 4, true},  {4, 8, 3, 8, true},
        {4, 8, 3, 9, false}, {4, 8, 3, 100, false}, {0, 8, 3, 0, true}, {4, 4, 3, 4, true},
        {8, 4, 3, 6, false}, // an inverted range never enables OK
        {-1, 12, 3, 0, true}, // comparisons are signed
        {4, 8, 1, 6, true},  {4, 8, 0, 6, false}, // locked: never
    };
    for (const auto &c : cases) {
        input.minPinLength = c.minLength;
        input.maxPinLength = c.maxLength;
        input.triesLeft = c.triesLeft;
        const PinDialogModel m = model();
        EXPECT_EQ(m.okEnabled(c.typed), c.enabled)
            << c.minLength << ".." << c.maxLength << " typed " << c.typed;
        EXPECT_EQ(m.pinFieldEnabled, c.triesLeft != 0);
    }
}

TEST_F(DialogModelTest, InvalidUtf8IsABadConversion)
{
    const std::string bad = "caf\xC3";
    auto expectBadConversion = [](auto make) {
        try {
            make();
            ADD_FAILURE() << "no error";
        } catch (const std::range_error &e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
    };
    for (std::string PinDialogInput::*field :
         {&PinDialogInput::origin, &PinDialogInput::holderName, &PinDialogInput::personalCode,
          &PinDialogInput::pinName}) {
        PinDialogInput broken = input;
        broken.*field = bad;
        expectBadConversion([&] { PinDialogModel(broken, 0); });
    }
    expectBadConversion([&] { ConsentDialogModel("https://" + bad); });
}

TEST(DialogTextTest, ReplaceFirstTouchesOnlyTheFirstMarker)
{
    using dialogtext::replaceFirst;
    EXPECT_EQ(replaceFirst("PIN and PIN", "PIN", "PIN2"), "PIN2 and PIN");
    EXPECT_EQ(replaceFirst("no marker", "%lu", "5"), "no marker");
    EXPECT_EQ(replaceFirst("%lu%lu", "%lu", ""), "%lu");
}

TEST(OriginLineTest, RegistrableDomainStaysWhole)
{
    const struct {
        const char *shown, *kept;
    } cases[] = {
        {"example.com", "example.com"},
        {"www.yourbank.lv.secure-login-session-verification-0001.attacker.example", "attacker.example"},
        {"WWW.Example.COM.", "Example.COM."},
        {"a.b.example.co.uk:8443", "example.co.uk:8443"},
        {"co.uk", "co.uk"},                                  // a public suffix itself
        {"yourbank-lv.github.io", "yourbank-lv.github.io"},  // the list's private part
        {"a.b.c.ck", "b.c.ck"},                              // wildcard *.ck
        {"a.www.ck", "www.ck"},                              // exception !www.ck
        {"shop.xn--55qx5d.cn", "shop.xn--55qx5d.cn"},        // 公司.cn, in Punycode
        {"shop.xn--zz.cn", "xn--zz.cn"},                     // not valid Punycode
        {"192.168.100.200:8443", "192.168.100.200:8443"},
        {"www.bank.lv.0x7f", "www.bank.lv.0x7f"},
        {"[2001:db8::1]:8443", "[2001:db8::1]:8443"},
        {"http://www.example.com:80", "example.com:80"},
        {"www.bank.lv@attacker.example", "attacker.example"},
        {"attacker.example/www.yourbank.lv", "attacker.example/www.yourbank.lv"},
        {"a..example", "a..example"},
        {"", ""},
    };
    for (const auto &c : cases) {
        const std::string shown = c.shown;
        EXPECT_EQ(shown.substr(originline::registrableDomainStart(shown)), c.kept) << c.shown;
    }
}

TEST(OriginLineTest, FitsByCuttingOnTheLeftThenShrinkingThenWrapping)
{
    // A line of 360 pixels; every character is half the font's height wide.
    int measured = 0;
    const originline::TextWidth width = [&measured](const std::string &text, int h) {
        ++measured;
        return static_cast<int>(utf16Length(text)) * h / 2;
    };
    const struct {
        std::string shown;
        int height;
        std::string text;
        int fitted;
    } cases[] = {
        {"example.com", 22, "example.com", 22},
        {"www.yourbank.lv.secure-login-session-verification-0001.attacker.example", 16,
         "…n-session-verification-0001.attacker.example", 16},
        {"www.yourbank.lv.loginsessionverificationpage0001.attacker.example", 16,
         "…sessionverificationpage0001.attacker.example", 16},
        {"www.yourbank.lv.secure-login-session-verification-0001.attacker.example:8443", 16,
         "…sion-verification-0001.attacker.example:8443", 16},
        {"www.yourbank.lv.secure-login-session-verification-0001.attacker.co.uk", 16,
         "…gin-session-verification-0001.attacker.co.uk", 16},
        // The registrable domain alone is too wide at 16 pixels: the font shrinks.
        {"www.yourbank.lv.login-session-verification-page-000000001.co.uk", 16,
         "…login-session-verification-page-000000001.co.uk", 15},
        // An IP literal is never cut.
        {"[2001:0db8:85a3:0000:0000:8a2e:0370:7334]:65535", 16,
         "[2001:0db8:85a3:0000:0000:8a2e:0370:7334]:65535", 15},
        // Too wide even in the dialog font: two lines.
        {"www.yourbank.lv.a-very-long-name-that-a-bank-would-never-register-0000000001.co.uk", 16,
         "www.yourbank.lv.a\n-very-long-name-that-a-bank-would-never-register-0000000001.co.uk", 11},
        {std::string(400, 'x') + ".a-very-long-name-that-a-bank-would-never-register-0000000001.co.uk", 16,
         "…" + std::string(62, 'x') + ".a\n"
         "-very-long-name-that-a-bank-would-never-register-0000000001.co.uk", 11},
        // However long the text, only two lines' worth of it is measured.
        {std::string(1 << 20, 'x') + ".attacker.example", 16,
         "…" + std::string(27, 'x') + ".attacker.example", 16},
    };
    for (const auto &c : cases) {
        measured = 0;
        const originline::Fit fit = originline::fit(c.shown, 360, c.height, 11, width);
        EXPECT_EQ(fit.text, c.text) << c.shown.substr(0, 100);
        EXPECT_EQ(fit.pixelHeight, c.fitted) << c.shown.substr(0, 100);
        EXPECT_LT(measured, 120) << c.shown.substr(0, 100);
    }
}

} // namespace
