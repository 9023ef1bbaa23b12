// The Qt PIN and consent dialogs, run modally offscreen: what the controls
// show, their fonts and colours, the digits-only PIN field, OK enabling, the
// keys and buttons that end the dialogs, and a picture of each dialog in each
// language for a person to look at.
#include "dialogmodel.h"
#include "modelviews.h"
#include "qtdialogs.h"
#include "textcatalogue.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <string>

namespace {

const std::time_t beforeExpiry = 1700000000; // 2023, before the 2027 expiry

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "qt-dialog-tests";
        static char *argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    void TearDown() override { delete app; }
    QApplication *app = nullptr;
};

// Collects the PIN the dialog hands over.
struct PinSink {
    std::string pin;
    int calls = 0;
    static void accept(void *context, const char *pin, size_t length)
    {
        auto *sink = static_cast<PinSink *>(context);
        sink->pin.assign(pin, length);
        ++sink->calls;
    }
};

// Runs `act` once the dialog's event loop is running; returns exec()'s result.
int runModal(QDialog &dialog, const std::function<void()> &act)
{
    QTimer::singleShot(0, &dialog, [&] {
        act();
        // Whatever the test did, never leave the loop running.
        if (dialog.isVisible()) QTimer::singleShot(0, &dialog, [&] { dialog.done(-1); });
    });
    return dialog.exec();
}

template <typename T> T *child(QWidget &dialog, const char *name)
{
    T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

std::string text(QWidget &dialog, const char *name)
{
    if (auto *l = dialog.findChild<QLabel *>(QString::fromLatin1(name))) return l->text().toStdString();
    if (auto *b = dialog.findChild<QPushButton *>(QString::fromLatin1(name))) return b->text().toStdString();
    ADD_FAILURE() << "no control " << name;
    return {};
}

bool isRed(QLabel *label) { return label->palette().color(QPalette::WindowText) == QColor(255, 0, 0); }

class PinDialogTest : public ::testing::Test {
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

    // Builds the model and view for the current input and runs the dialog.
    int run(const std::function<void(quorvanta::PinDialog &)> &act)
    {
        model.reset(new PinDialogModel(input, beforeExpiry));
        view = pinView(*model);
        view.acceptPin = PinSink::accept;
        view.acceptPinContext = &sink;
        quorvanta::PinDialog dialog(view);
        return runModal(dialog, [&] { act(dialog); });
    }

    PinDialogInput input;
    std::unique_ptr<PinDialogModel> model;
    QuorvantaPinView view{};
    PinSink sink;
};

TEST_F(PinDialogTest, ControlsShowTheModel)
{
    input.triesLeft = 2;
    input.wrongPin = true;
    run([&](quorvanta::PinDialog &d) {
        EXPECT_EQ(d.windowTitle().toStdString(), "Signature required");
        EXPECT_EQ(text(d, "originLabel"), "example.com");
        EXPECT_EQ(text(d, "holderNameLabel"), "ANNA BERZINA");
        EXPECT_EQ(text(d, "personalCodeLabel"), "PNOLV-010190-12345");
        EXPECT_EQ(text(d, "validityLabel"), "The certificate is valid until: 31.12.2027");
        EXPECT_EQ(text(d, "errorLabel"), "Incorrect PIN2!  Tries left: 2");
        EXPECT_EQ(text(d, "pinLabel"), "PIN2:");
        EXPECT_EQ(text(d, "okButton"), "Confirm");
        EXPECT_EQ(text(d, "cancelButton"), "Cancel");
        EXPECT_TRUE(d.isModal());
        EXPECT_TRUE(d.windowFlags() & Qt::WindowStaysOnTopHint);

        auto *origin = child<QLabel>(d, "originLabel");
        auto *personal = child<QLabel>(d, "personalCodeLabel");
        const int base = QFontInfo(personal->font()).pixelSize();
        EXPECT_TRUE(origin->font().bold());
        EXPECT_EQ(origin->font().pixelSize(), static_cast<int>(base * 2.0));
        for (const char *bold : {"warningLabel", "holderNameLabel", "errorLabel", "pinLabel"}) {
            EXPECT_TRUE(child<QLabel>(d, bold)->font().bold()) << bold;
            EXPECT_EQ(child<QLabel>(d, bold)->font().pixelSize(), base) << bold;
        }
        EXPECT_FALSE(personal->font().bold());
        EXPECT_FALSE(child<QLabel>(d, "validityLabel")->font().bold());

        // Only the error line is red when signing.
        EXPECT_TRUE(isRed(child<QLabel>(d, "errorLabel")));
        for (const char *plain : {"warningLabel", "originLabel", "holderNameLabel", "pinLabel"})
            EXPECT_FALSE(isRed(child<QLabel>(d, plain))) << plain;

        // Tab order: PIN field, OK, Cancel; the PIN field starts with the focus.
        auto *pin = child<QLineEdit>(d, "pinField");
        EXPECT_EQ(d.focusWidget(), pin);
        EXPECT_EQ(pin->nextInFocusChain(), child<QPushButton>(d, "okButton"));
        EXPECT_EQ(child<QPushButton>(d, "okButton")->nextInFocusChain(),
                  child<QPushButton>(d, "cancelButton"));
        EXPECT_EQ(pin->echoMode(), QLineEdit::Password);
        d.reject();
    });
}

TEST_F(PinDialogTest, AuthenticationWarningIsRedAndOriginTextIsNeverMarkup)
{
    input.isAuth = true;
    input.origin = "https://<b>evil</b>.example";
    run([&](quorvanta::PinDialog &d) {
        EXPECT_EQ(d.windowTitle().toStdString(), "Authentication required");
        EXPECT_TRUE(isRed(child<QLabel>(d, "warningLabel")));
        EXPECT_EQ(child<QLabel>(d, "originLabel")->textFormat(), Qt::PlainText);
        EXPECT_EQ(text(d, "originLabel"), "<b>evil</b>.example");
        d.reject();
    });
    input.isJwt = true;
    run([&](quorvanta::PinDialog &d) {
        EXPECT_EQ(text(d, "warningLabel"), "");
        EXPECT_FALSE(isRed(child<QLabel>(d, "warningLabel")));
        d.reject();
    });
}

TEST_F(PinDialogTest, OnlyDigitsAndOkFollowsTheLengthRule)
{
    const int result = run([&](quorvanta::PinDialog &d) {
        auto *pin = child<QLineEdit>(d, "pinField");
        auto *ok = child<QPushButton>(d, "okButton");
        QTest::keyClicks(pin, "ab-1 x2.");
        EXPECT_EQ(pin->text(), "12");
        pin->clear();
        for (int typed = 0; typed <= 9; ++typed) {
            EXPECT_EQ(ok->isEnabled(), typed >= 4 && typed <= 8) << typed << " digits";
            QTest::keyClick(pin, Qt::Key_0 + typed % 10);
        }
        EXPECT_EQ(pin->text().size(), 10);
        EXPECT_FALSE(ok->isEnabled());
        QTest::keyClick(pin, Qt::Key_Backspace);
        QTest::keyClick(pin, Qt::Key_Backspace);
        EXPECT_TRUE(ok->isEnabled());
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(sink.calls, 1);
    EXPECT_EQ(sink.pin, "01234567");
}

TEST_F(PinDialogTest, LongPinsAreAccepted)
{
    input.minPinLength = 4;
    input.maxPinLength = 40;
    const std::string digits = "1234567890123456789012345678901234567890";
    EXPECT_EQ(run([&](quorvanta::PinDialog &d) {
                  QTest::keyClicks(child<QLineEdit>(d, "pinField"), QString::fromStdString(digits));
                  QTest::keyClick(child<QLineEdit>(d, "pinField"), Qt::Key_Return);
              }),
              QDialog::Accepted);
    EXPECT_EQ(sink.pin, digits);
}

TEST_F(PinDialogTest, WaysToEndTheDialog)
{
    const struct {
        const char *what;
        std::function<void(quorvanta::PinDialog &)> act;
        int result;
        const char *pin;
    } cases[] = {
        {"Enter with a full PIN",
         [](quorvanta::PinDialog &d) {
             QTest::keyClicks(child<QLineEdit>(d, "pinField"), "1234");
             QTest::keyClick(child<QLineEdit>(d, "pinField"), Qt::Key_Enter);
         },
         QDialog::Accepted, "1234"},
        {"Enter with a short PIN does nothing",
         [](quorvanta::PinDialog &d) {
             QTest::keyClicks(child<QLineEdit>(d, "pinField"), "12");
             QTest::keyClick(child<QLineEdit>(d, "pinField"), Qt::Key_Return);
             EXPECT_TRUE(d.isVisible());
             d.reject();
         },
         QDialog::Rejected, ""},
        {"Cancel after typing",
         [](quorvanta::PinDialog &d) {
             QTest::keyClicks(child<QLineEdit>(d, "pinField"), "1234");
             QTest::mouseClick(child<QPushButton>(d, "cancelButton"), Qt::LeftButton);
         },
         QDialog::Rejected, ""},
        {"Escape",
         [](quorvanta::PinDialog &d) {
             QTest::keyClicks(child<QLineEdit>(d, "pinField"), "1234");
             QTest::keyClick(&d, Qt::Key_Escape);
         },
         QDialog::Rejected, ""},
        {"Close box", [](quorvanta::PinDialog &d) { d.close(); }, QDialog::Rejected, ""},
    };
    for (const auto &c : cases) {
        sink = PinSink();
        EXPECT_EQ(run(c.act), c.result) << c.what;
        EXPECT_EQ(sink.pin, c.pin) << c.what;
        EXPECT_EQ(sink.calls, c.result == QDialog::Accepted ? 1 : 0) << c.what;
    }
}

TEST_F(PinDialogTest, LockedPinCanOnlyBeCancelled)
{
    input.triesLeft = 0;
    const int result = run([&](quorvanta::PinDialog &d) {
        auto *pin = child<QLineEdit>(d, "pinField");
        EXPECT_FALSE(pin->isEnabled());
        EXPECT_FALSE(child<QPushButton>(d, "okButton")->isEnabled());
        EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "cancelButton"));
        EXPECT_EQ(text(d, "errorLabel"), "Tries left: 0");
        QTest::keyClicks(pin, "1234");
        EXPECT_FALSE(child<QPushButton>(d, "okButton")->isEnabled());
        QTest::keyClick(d.focusWidget(), Qt::Key_Return);
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(sink.calls, 0);
}

class ConsentDialogTest : public ::testing::Test {
protected:
    void TearDown() override { TextCatalogue::setLanguage("en"); }
    int run(const std::string &origin, const std::function<void(QDialog &)> &act)
    {
        model.reset(new ConsentDialogModel(origin));
        view = consentView(*model);
        quorvanta::CertificateConsentDialog dialog(view);
        return runModal(dialog, [&] { act(dialog); });
    }
    std::unique_ptr<ConsentDialogModel> model;
    QuorvantaConsentView view{};
};

TEST_F(ConsentDialogTest, EnterConfirmsRightAway)
{
    EXPECT_EQ(run("https://example.com",
                  [](QDialog &d) {
                      EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "confirmButton"));
                      EXPECT_TRUE(child<QPushButton>(d, "confirmButton")->isDefault());
                      QTest::keyClick(d.focusWidget(), Qt::Key_Return);
                  }),
              QDialog::Accepted);
    EXPECT_EQ(run("https://example.com", [](QDialog &d) { QTest::keyClick(&d, Qt::Key_Escape); }),
              QDialog::Rejected);
    EXPECT_EQ(run("https://example.com",
                  [](QDialog &d) {
                      QTest::mouseClick(child<QPushButton>(d, "cancelButton"), Qt::LeftButton);
                  }),
              QDialog::Rejected);
}

TEST_F(ConsentDialogTest, RussianTextsLongOriginAndNothingRed)
{
    TextCatalogue::setLanguage("ru");
    const std::string host(31, 'x');
    run("https://" + host, [&](QDialog &d) {
        EXPECT_EQ(d.windowTitle().toStdString(), "Требуется сертификаты");
        EXPECT_EQ(text(d, "confirmButton"), "Подтверждать");
        EXPECT_EQ(text(d, "cancelButton"), "Отменить");
        EXPECT_EQ(text(d, "originLabel"), host);
        auto *origin = child<QLabel>(d, "originLabel");
        auto *warning = child<QLabel>(d, "warningLabel");
        EXPECT_TRUE(origin->font().bold());
        EXPECT_FALSE(warning->font().bold());
        EXPECT_EQ(origin->font().pixelSize(),
                  static_cast<int>(QFontInfo(warning->font()).pixelSize() * 1.5));
        EXPECT_FALSE(isRed(origin));
        EXPECT_FALSE(isRed(warning));
        d.reject();
    });
}

// Pictures of every dialog in every language, and of origins too long for
// their line, taken from the screen (an X display) into the build tree. For
// a row with a text, read-dialogs.sh reads the picture back with OCR and the
// text must be on screen; the first such row is a short, known text.
TEST(DialogPictures, EachDialogInEachLanguageAndLongOrigins)
{
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "pictures are taken on an X display (the qt-dialogs-read-back test)";
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR)));
    enum Kind { Consent, Sign, Auth };
    const char *attack1 =
        "https://www.yourbank.lv.secure-login-session-verification-0001.attacker.example";
    const char *attack2 = "https://www.yourbank.lv.loginsessionverificationpage0001.attacker.example";
    const char *wraps =
        "https://www.yourbank.lv.a-very-long-name-that-a-bank-would-never-register-0000000001.co.uk";
    const struct {
        const char *lang, *name;
        Kind kind;
        const char *origin, *expect;
    } pictures[] = {
        {"en", "consent-en", Consent, "https://www.example.com", "www.example.com"},
        {"lv", "consent-lv", Consent, "https://www.example.com", nullptr},
        {"ru", "consent-ru", Consent, "https://www.example.com", nullptr},
        {"lv", "pin-lv-sign", Sign, "https://www.example.com", nullptr},
        {"en", "pin-en-sign", Sign, "https://www.example.com", nullptr},
        {"ru", "pin-ru-sign", Sign, "https://www.example.com", nullptr},
        {"lv", "pin-lv-auth", Auth, "https://www.example.com", nullptr},
        {"en", "pin-en-auth", Auth, "https://www.example.com", nullptr},
        {"ru", "pin-ru-auth", Auth, "https://www.example.com", nullptr},
        {"en", "long-consent-1", Consent, attack1, "attacker.example"},
        {"en", "long-consent-2", Consent, attack2, "attacker.example"},
        {"en", "long-pin-1", Sign, attack1, "attacker.example"},
        {"lv", "long-pin-2", Auth, attack2, "attacker.example"},
        {"en", "long-pin-wraps", Sign, wraps, "never-register\nco.uk"},
    };
    for (const auto &p : pictures) {
        TextCatalogue::setLanguage(p.lang);
        PinDialogInput input;
        input.origin = p.origin;
        input.holderName = "ANNA BĒRZIŅA";
        input.personalCode = "PNOLV-010190-12345";
        input.validTo = "20271231235959Z";
        input.pinName = p.kind == Auth ? "PIN1" : "PIN2";
        input.batchCount = 5;
        input.isAuth = p.kind == Auth;
        input.triesLeft = 2;
        input.wrongPin = true;
        input.minPinLength = 4;
        input.maxPinLength = 12;
        const PinDialogModel pinModel(input, beforeExpiry);
        const ConsentDialogModel consentModel(input.origin);
        const QuorvantaPinView pin = pinView(pinModel);
        const QuorvantaConsentView consent = consentView(consentModel);
        std::unique_ptr<QDialog> dialog;
        if (p.kind == Consent)
            dialog.reset(new quorvanta::CertificateConsentDialog(consent));
        else
            dialog.reset(new quorvanta::PinDialog(pin));
        const QString file = QStringLiteral(DIALOG_PNG_DIR "/%1.png").arg(QString::fromLatin1(p.name));
        runModal(*dialog, [&] {
            if (auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("pinField")))
                QTest::keyClicks(field, "1234");
            ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
            QTest::qWait(100);
            // Screen readers get the whole origin, however it is cut on screen.
            EXPECT_EQ(child<QLabel>(*dialog, "originLabel")->accessibleName().toStdString(),
                      consentModel.origin);
            const QPixmap shot = dialog->screen()->grabWindow(dialog->winId());
            EXPECT_TRUE(shot.save(file)) << file.toStdString();
            dialog->reject();
        });
        if (p.expect) {
            QFile expect(QStringLiteral(DIALOG_PNG_DIR "/%1.expect").arg(QString::fromLatin1(p.name)));
            ASSERT_TRUE(expect.open(QIODevice::WriteOnly));
            expect.write(QByteArray(p.expect) + "\n");
        }
    }
    TextCatalogue::setLanguage("en");
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
    return RUN_ALL_TESTS();
}
