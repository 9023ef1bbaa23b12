// The Qt PIN and consent dialogs, run modally offscreen: what the controls
// show, their fonts and colours, the digits-only PIN field, OK enabling, the
// keys and buttons that end the dialogs, the quiet second, what screen
// readers get, the layout at any text size, and a picture of each dialog in
// each language for a person to look at.
#include "dialogmodel.h"
#include "modelviews.h"
#include "qtdialogs.h"
#include "textcatalogue.h"
#include "textcolour.h"

#include <gtest/gtest.h>

#include <QAccessible>
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

using std::chrono::milliseconds;

const std::time_t beforeExpiry = 1700000000; // 2023, before the 2027 expiry

// The dialogs' clock here moves only when a test moves it.
milliseconds fakeNow{0};
const QuietPeriod::Clock fakeClock = [] { return fakeNow; };

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

// Runs `act` once the dialog's event loop is running and the dialog has the
// focus, after its quiet second unless `quiet`; returns exec()'s result.
int runModal(QDialog &dialog, const std::function<void()> &act, bool quiet = false)
{
    QTimer::singleShot(0, &dialog, [&] {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
        if (!quiet) fakeNow += std::chrono::seconds(1);
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

bool isRed(QLabel *label)
{
    const QColor c = label->palette().color(QPalette::WindowText);
    return c.red() > 2 * std::max(c.green(), c.blue()) + 40;
}

// The contrast of a label's text against the dialog's background.
double contrast(QLabel *label)
{
    const QColor text = label->palette().color(QPalette::WindowText);
    const QColor background = label->window()->palette().color(QPalette::Window);
    return contrastRatio({text.red(), text.green(), text.blue()},
                         {background.red(), background.green(), background.blue()});
}

std::string accessible(QWidget *widget, QAccessible::Text what)
{
    return QAccessible::queryAccessibleInterface(widget)->text(what).toStdString();
}

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
    int run(const std::function<void(quorvanta::PinDialog &)> &act, bool quiet = false)
    {
        model.reset(new PinDialogModel(input, beforeExpiry));
        view = pinView(*model);
        view.acceptPin = PinSink::accept;
        view.acceptPinContext = &sink;
        quorvanta::PinDialog dialog(view, nullptr, fakeClock);
        return runModal(dialog, [&] { act(dialog); }, quiet);
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

        // Only the error line is red when signing, in a red that can be read.
        EXPECT_TRUE(isRed(child<QLabel>(d, "errorLabel")));
        EXPECT_GE(contrast(child<QLabel>(d, "errorLabel")), 4.5);
        for (const char *plain : {"warningLabel", "originLabel", "holderNameLabel", "pinLabel"})
            EXPECT_FALSE(isRed(child<QLabel>(d, plain))) << plain;

        // What a screen reader reads: the field by its label, the dialog's
        // lines, and the error line again with the field.
        auto *field = child<QLineEdit>(d, "pinField");
        EXPECT_EQ(accessible(field, QAccessible::Name), "PIN2:");
        EXPECT_EQ(accessible(field, QAccessible::Description), "Incorrect PIN2!  Tries left: 2");
        EXPECT_EQ(accessible(&d, QAccessible::Description),
                  "example.com\nThe site requests your electronic signature to sign 1 file.\nContinue "
                  "if you have "
                  "trust in the site.\nANNA BERZINA\nPNOLV-010190-12345\nThe certificate is valid "
                  "until: 31.12.2027\nIncorrect PIN2!  Tries left: 2");

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
    input.holderName = "<i>ANNA</i> &amp; B";
    run([&](quorvanta::PinDialog &d) {
        EXPECT_EQ(d.windowTitle().toStdString(), "Authentication required");
        EXPECT_TRUE(isRed(child<QLabel>(d, "warningLabel")));
        EXPECT_GE(contrast(child<QLabel>(d, "warningLabel")), 4.5);
        EXPECT_EQ(child<QLabel>(d, "originLabel")->textFormat(), Qt::PlainText);
        EXPECT_EQ(text(d, "originLabel"), "<b>evil</b>.example");
        EXPECT_EQ(accessible(child<QLabel>(d, "holderNameLabel"), QAccessible::Name), "<i>ANNA</i> &amp; B");
        EXPECT_NE(accessible(&d, QAccessible::Description).find("\n<i>ANNA</i> &amp; B\n"), std::string::npos);
        EXPECT_EQ(accessible(child<QLineEdit>(d, "pinField"), QAccessible::Description), "");
        d.reject();
    });
    input.isJwt = true;
    run([&](quorvanta::PinDialog &d) {
        EXPECT_EQ(text(d, "warningLabel"), "");
        EXPECT_FALSE(isRed(child<QLabel>(d, "warningLabel")));
        EXPECT_EQ(accessible(&d, QAccessible::Description).rfind("<b>evil</b>.example\n<i>ANNA</i>", 0), 0u);
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
    const std::string digits = "9753197531975319753197531975319753197531";
    EXPECT_EQ(run([&](quorvanta::PinDialog &d) {
                  QTest::keyClicks(child<QLineEdit>(d, "pinField"), QString::fromStdString(digits));
                  // Screen readers never get the PIN: the field's value is stars.
                  for (QWidget *w : d.findChildren<QWidget *>())
                      for (auto what : {QAccessible::Name, QAccessible::Description, QAccessible::Value})
                          EXPECT_EQ(accessible(w, what).find("97531"), std::string::npos);
                  EXPECT_EQ(accessible(child<QLineEdit>(d, "pinField"), QAccessible::Value), std::string(40, '*'));
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
        bool quiet = false;
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
        {"Tab to OK and Enter",
         [](quorvanta::PinDialog &d) {
             QTest::keyClicks(child<QLineEdit>(d, "pinField"), "1234");
             QTest::keyClick(d.focusWidget(), Qt::Key_Tab);
             EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "okButton"));
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
         },
         QDialog::Accepted, "1234"},
        {"Tab past the disabled OK to Cancel and Enter",
         [](quorvanta::PinDialog &d) {
             QTest::keyClick(d.focusWidget(), Qt::Key_Tab);
             EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "cancelButton"));
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
         },
         QDialog::Rejected, ""},
        // The quiet second: keys (Tab too) and clicks on OK are dropped, each
        // key starting the second again; Escape and Cancel work at once.
        {"Keys in the quiet second",
         [](quorvanta::PinDialog &d) {
             auto *pin = child<QLineEdit>(d, "pinField");
             QTest::keyClicks(pin, "1234");
             fakeNow += milliseconds(900);
             QTest::keyClick(pin, Qt::Key_Tab);
             fakeNow += milliseconds(900);
             QTest::keyClicks(pin, "5678");
             QTest::keyClick(pin, Qt::Key_Return);
             EXPECT_EQ(pin->text(), "");
             EXPECT_EQ(d.focusWidget(), pin);
             EXPECT_TRUE(d.isVisible());
             fakeNow += milliseconds(1000);
             QTest::keyClicks(pin, "2468");
             QTest::keyClick(pin, Qt::Key_Return);
         },
         QDialog::Accepted, "2468", true},
        {"A click on OK in the quiet second",
         [](quorvanta::PinDialog &d) {
             child<QLineEdit>(d, "pinField")->setText("1234");
             QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);
             EXPECT_TRUE(d.isVisible());
             fakeNow += milliseconds(1000);
             QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);
         },
         QDialog::Accepted, "1234", true},
        {"Escape in the quiet second",
         [](quorvanta::PinDialog &d) { QTest::keyClick(d.focusWidget(), Qt::Key_Escape); },
         QDialog::Rejected, "", true},
        {"Cancel in the quiet second",
         [](quorvanta::PinDialog &d) {
             QTest::mouseClick(child<QPushButton>(d, "cancelButton"), Qt::LeftButton);
         },
         QDialog::Rejected, "", true},
    };
    for (const auto &c : cases) {
        sink = PinSink();
        EXPECT_EQ(run(c.act, c.quiet), c.result) << c.what;
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
    int run(const std::string &origin, const std::function<void(QDialog &)> &act, bool quiet = false)
    {
        model.reset(new ConsentDialogModel(origin));
        view = consentView(*model);
        quorvanta::CertificateConsentDialog dialog(view, nullptr, fakeClock);
        return runModal(dialog, [&] { act(dialog); }, quiet);
    }
    std::unique_ptr<ConsentDialogModel> model;
    QuorvantaConsentView view{};
};

TEST_F(ConsentDialogTest, KeysAndButtonsAfterAQuietSecond)
{
    const struct {
        const char *what;
        std::function<void(QDialog &)> act;
        int result;
        bool quiet;
    } cases[] = {
        {"Enter",
         [](QDialog &d) {
             EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "confirmButton"));
             EXPECT_TRUE(child<QPushButton>(d, "confirmButton")->isDefault());
             EXPECT_EQ(accessible(&d, QAccessible::Description),
                       "example.com\nThe site requests your certificates.\nContinue if you have trust "
                       "in the site.");
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
         },
         QDialog::Accepted, false},
        {"Tab to Cancel and Enter",
         [](QDialog &d) {
             QTest::keyClick(d.focusWidget(), Qt::Key_Tab);
             EXPECT_EQ(d.focusWidget(), child<QPushButton>(d, "cancelButton"));
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
         },
         QDialog::Rejected, false},
        {"Enter, Space and a click in the quiet second, then Enter",
         [](QDialog &d) {
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
             fakeNow += milliseconds(999);
             QTest::keyClick(d.focusWidget(), Qt::Key_Space);
             QTest::mouseClick(child<QPushButton>(d, "confirmButton"), Qt::LeftButton);
             fakeNow += milliseconds(999);
             EXPECT_TRUE(d.isVisible());
             fakeNow += milliseconds(1);
             QTest::keyClick(d.focusWidget(), Qt::Key_Return);
         },
         QDialog::Accepted, true},
        {"Escape in the quiet second", [](QDialog &d) { QTest::keyClick(&d, Qt::Key_Escape); },
         QDialog::Rejected, true},
        {"Cancel in the quiet second",
         [](QDialog &d) { QTest::mouseClick(child<QPushButton>(d, "cancelButton"), Qt::LeftButton); },
         QDialog::Rejected, true},
    };
    for (const auto &c : cases) EXPECT_EQ(run("https://example.com", c.act, c.quiet), c.result) << c.what;
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

// Every control inside the dialog and off the others, and every text with
// the room it needs. ctest runs this again at twice the font resolution,
// scaled as a whole (Qt's way) and with only the fonts twice as large.
void expectLaidOut(QDialog &d, const std::string &what)
{
    const QList<QWidget *> controls = d.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *c : controls) {
        const std::string name = what + " " + c->objectName().toStdString();
        EXPECT_TRUE(d.rect().contains(c->geometry())) << name;
        for (QWidget *other : controls)
            EXPECT_TRUE(other == c || !c->geometry().intersects(other->geometry()))
                << name << " over " << other->objectName().toStdString();
        const QFontMetrics fm(c->font());
        QSize needed(0, fm.height());
        if (auto *l = qobject_cast<QLabel *>(c)) {
            // The holder name also wraps inside a word that is too long.
            const int wrap = l->objectName() == QLatin1String("holderNameLabel") ? Qt::TextWrapAnywhere
                             : l->wordWrap()                                   ? Qt::TextWordWrap
                                                                               : 0;
            needed = fm.boundingRect(QRect(0, 0, l->width(), 1 << 20), wrap | l->alignment(), l->text()).size();
            if (l->wordWrap()) needed.setHeight(l->heightForWidth(l->width()));
        } else if (auto *b = qobject_cast<QPushButton *>(c)) {
            needed.setWidth(fm.horizontalAdvance(b->text()) + fm.averageCharWidth());
        }
        EXPECT_LE(needed.width(), c->width()) << name << ": " << c->width() << " wide";
        EXPECT_LE(needed.height(), c->height()) << name << ": " << c->height() << " high";
    }
}

TEST(DialogLayout, NoTextCutOffAndNoControlOverAnother)
{
    const std::string names[] = {"ANNA BĒRZIŅA", "Anna-Marija Kristīne Ozola-Bērziņa Jaunzeme-Kalniņa",
                                 std::string(1100, 'x') + " Long"};
    for (const char *lang : {"lv", "en", "ru"}) {
        TextCatalogue::setLanguage(lang);
        for (const std::string &holderName : names) {
            for (bool isAuth : {false, true}) {
                PinDialogInput input;
                input.origin = "https://www.example.com";
                input.holderName = holderName;
                input.personalCode = "PNOLV-010190-12345";
                input.validTo = "20200101000000Z"; // expired: the longest error line
                input.pinName = "PIN2";
                input.batchCount = 5;
                input.isAuth = isAuth;
                input.triesLeft = 1;
                input.wrongPin = true;
                const PinDialogModel model(input, beforeExpiry);
                const QuorvantaPinView view = pinView(model);
                quorvanta::PinDialog dialog(view, nullptr, fakeClock);
                expectLaidOut(dialog, std::string(lang) + " PIN dialog, " + holderName.substr(0, 20));
            }
        }
        const ConsentDialogModel consent("https://www.example.com");
        const QuorvantaConsentView view = consentView(consent);
        quorvanta::CertificateConsentDialog dialog(view, nullptr, fakeClock);
        expectLaidOut(dialog, std::string(lang) + " consent dialog");
    }
    TextCatalogue::setLanguage("en");
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
