// The Linux host's DialogManager with the real Qt dialog library beside it:
// without any display it fails with a TechnicalException instead of letting
// Qt abort the process, and offscreen it shows the dialogs and returns what
// the user did.
#include "dialogabi.h"
#include "dialogmanager.h"
#include "errors.h"
#include "textcatalogue.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

namespace {

std::string dialogLibraryPath()
{
    char *resolved = realpath("/proc/self/exe", nullptr);
    if (!resolved) return {};
    const std::string self(resolved);
    std::free(resolved);
    return self.substr(0, self.rfind('/') + 1) + QUORVANTA_DIALOG_LIBRARY;
}

void withoutDisplay()
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
}

// Exit code 0 when `call` throws TechnicalException "MFC initialization failed".
int failsToStart(const std::function<void()> &call)
{
    try {
        call();
        return 1;
    } catch (const TechnicalException &e) {
        return e.getErrorMessage() == "MFC initialization failed" ? 0 : 2;
    } catch (...) {
        return 3;
    }
}

TEST(LinuxDialogManagerDeathTest, NoDisplayFailsWithoutAborting)
{
    // A fresh process, so that no earlier test has started Qt in it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            withoutDisplay();
            std::exit(failsToStart([] { DialogManager::getCertificateConsent("https://a.lv"); }));
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            withoutDisplay();
            std::exit(failsToStart([] {
                DialogManager::getPin("https://a.lv", "A B", "1", "20271231235959Z", "PIN2", 0,
                                      false, false, 3, false, 4, 8);
            }));
        },
        ::testing::ExitedWithCode(0), "");
    // An X display name that leads nowhere counts as no display.
    EXPECT_EXIT(
        {
            withoutDisplay();
            setenv("DISPLAY", ":97", 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
            std::exit(failsToStart([] { DialogManager::getCertificateConsent("https://a.lv"); }));
        },
        ::testing::ExitedWithCode(0), "");
}

// An X server drops some of the connections that are set up at the same
// moment, so hosts that start their dialogs at once on one display (a user
// with several tabs asking) could fail with "MFC initialization failed". They
// take turns, and each one starts.
TEST(LinuxDialogStart, HostsStartingAtOnceOnOneDisplayAllStart)
{
    ASSERT_EQ(qApp, nullptr) << "Qt was started in this process before";
    int display[2];
    ASSERT_EQ(pipe(display), 0);
    const pid_t xvfb = fork();
    ASSERT_GE(xvfb, 0);
    if (xvfb == 0) {
        close(display[0]);
        const std::string fd = std::to_string(display[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(display[1]);
    std::string number;
    char c;
    while (read(display[0], &c, 1) == 1 && c != '\n') number += c;
    close(display[0]);
    if (number.empty()) {
        waitpid(xvfb, nullptr, 0);
        GTEST_SKIP() << "Xvfb could not be started";
    }
    char runtime[] = "/tmp/quorvanta-dialog-start-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);

    // Each host says whether it started, then stays connected, as one that
    // shows its dialog does, until all have said.
    constexpr int Hosts = 12;
    int gate[2], results[2], done[2];
    ASSERT_EQ(pipe(gate), 0);
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(done), 0);
    std::vector<pid_t> hosts;
    for (int i = 0; i < Hosts; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            close(results[0]);
            close(done[1]);
            while (read(gate[0], &c, 1) < 0 && errno == EINTR) {}
            withoutDisplay();
            setenv("DISPLAY", (":" + number).c_str(), 1);
            setenv("XDG_RUNTIME_DIR", runtime, 1);
            void *library = dlopen(dialogLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
            auto start = reinterpret_cast<QuorvantaDialogsStart>(
                library ? dlsym(library, "quorvanta_dialogs_start") : nullptr);
            const char started = start && start(QUORVANTA_DIALOG_ABI_VERSION) == 0 ? 'y' : 'n';
            if (write(results[1], &started, 1) != 1) _exit(1);
            close(results[1]); // the reader sees the end once every host answered or died
            while (read(done[0], &c, 1) < 0 && errno == EINTR) {}
            _exit(0);
        }
        hosts.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    close(results[1]);
    close(done[0]);
    int started = 0;
    while (read(results[0], &c, 1) == 1) started += c == 'y';
    close(results[0]);
    close(done[1]);
    for (pid_t pid : hosts) waitpid(pid, nullptr, 0);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    unlink((std::string(runtime) + "/quorvanta-dialogs.lock").c_str());
    rmdir(runtime);
    EXPECT_EQ(started, Hosts);
}

class OffscreenDialogManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Start Qt through the library the host loads, so that this test can
        // schedule its actions before the dialog runs.
        library = dlopen(dialogLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto start = reinterpret_cast<QuorvantaDialogsStart>(dlsym(library, "quorvanta_dialogs_start"));
        ASSERT_NE(start, nullptr);
        ASSERT_EQ(start(QUORVANTA_DIALOG_ABI_VERSION), 0);
        ASSERT_NE(qApp, nullptr);
    }
    void TearDown() override
    {
        TextCatalogue::setLanguage("en");
        if (library) dlclose(library);
    }

    // Acts on the modal dialog once it has had the focus for longer than its
    // quiet second (this library's dialogs keep the real clock).
    static void whenShown(std::function<void(QWidget &)> act)
    {
        QTimer::singleShot(10, qApp, [act] {
            QWidget *dialog = QApplication::activeModalWidget();
            if (!dialog || !dialog->isActiveWindow()) return whenShown(act);
            QTimer::singleShot(1100, dialog, [act, dialog] { act(*dialog); });
        });
    }

    void *library = nullptr;
};

TEST_F(OffscreenDialogManagerTest, ConsentConfirmedOrRefused)
{
    TextCatalogue::setLanguage("lv");
    std::string title;
    whenShown([&](QWidget &d) {
        title = d.windowTitle().toStdString();
        QTest::keyClick(d.focusWidget(), Qt::Key_Return);
    });
    EXPECT_TRUE(DialogManager::getCertificateConsent("https://example.com"));
    EXPECT_EQ(title, "Sertifikātus pieprasa");

    whenShown([](QWidget &d) { QTest::keyClick(&d, Qt::Key_Escape); });
    EXPECT_FALSE(DialogManager::getCertificateConsent("https://example.com"));
}

TEST_F(OffscreenDialogManagerTest, PinTypedOrCancelled)
{
    auto typePin = [](const char *digits) {
        whenShown([digits](QWidget &d) {
            auto *field = d.findChild<QLineEdit *>(QStringLiteral("pinField"));
            QTest::keyClicks(field, digits);
            QTest::keyClick(field, Qt::Key_Return);
        });
    };
    typePin("123456");
    const SecureString pin = DialogManager::getPin("https://example.com", "A B", "1",
                                                   "20271231235959Z", "PIN2", 2, false, false, 3,
                                                   false, 4, 12);
    ASSERT_FALSE(pin.isNull());
    EXPECT_EQ(std::string(pin.c_str(), pin.size()), "123456");

    whenShown([](QWidget &d) { QTest::keyClick(&d, Qt::Key_Escape); });
    EXPECT_THROW(DialogManager::getPin("https://example.com", "A B", "1", "20271231235959Z", "PIN2",
                                       0, true, false, 3, false, 4, 12),
                 UserCancelledException);
}

TEST_F(OffscreenDialogManagerTest, InvalidUtf8OriginIsABadConversion)
{
    try {
        DialogManager::getCertificateConsent("https://caf\xC3");
        ADD_FAILURE() << "no error";
    } catch (const std::range_error &e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
}

} // namespace
