// The Qt dialog library's C entry points. The host loads this library only
// when it has a dialog to show. Starting checks that a display can be reached
// before Qt is started, because Qt ends the process when it cannot open one.
// Nothing thrown here leaves the library.
#include "dialogabi.h"
#include "qtdialogs.h"

#include <QApplication>
#include <QLibraryInfo>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#define QUORVANTA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// A platform plugin that is missing, or whose own libraries are missing, makes
// Qt abort; loading it here first tells us beforehand.
bool pluginLoads(const std::string &platform)
{
    std::vector<std::string> dirs;
    for (const auto &dir : split(env("QT_QPA_PLATFORM_PLUGIN_PATH"), ':'))
        if (!dir.empty()) dirs.push_back(dir);
    for (const auto &dir : split(env("QT_PLUGIN_PATH"), ':'))
        if (!dir.empty()) dirs.push_back(dir + "/platforms");
    dirs.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms");
    for (const auto &dir : dirs) {
        const std::string path = dir + "/libq" + platform + ".so";
        if (void *plugin = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL)) {
            dlclose(plugin);
            return true;
        }
    }
    return false;
}

// An X connection through libxcb, which the xcb plugin uses. It is kept open
// until Qt has made its own: a connection closed just as another is set up
// can make the X server drop the new one (and Qt then ends the process).
class XProbe {
public:
    ~XProbe() { close(); }
    bool reachable()
    {
        if (connection) return true;
        if (env("DISPLAY").empty()) return false;
        if (!library) library = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
        if (!library) return false;
        auto connect = reinterpret_cast<Connect>(dlsym(library, "xcb_connect"));
        auto hasError = reinterpret_cast<HasError>(dlsym(library, "xcb_connection_has_error"));
        disconnect = reinterpret_cast<Disconnect>(dlsym(library, "xcb_disconnect"));
        if (!connect || !hasError || !disconnect) return false;
        connection = connect(nullptr, nullptr);
        if (connection && hasError(connection) == 0) return true;
        close();
        return false;
    }
    void close()
    {
        if (connection) disconnect(connection);
        connection = nullptr;
        if (library) dlclose(library);
        library = nullptr;
    }

private:
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    void *library = nullptr;
    void *connection = nullptr;
    Disconnect disconnect = nullptr;
};

bool waylandReachable()
{
    std::string socket = env("WAYLAND_DISPLAY");
    if (socket.empty()) return false;
    if (socket[0] != '/') {
        const std::string runtime = env("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        socket = runtime + "/" + socket;
    }
    struct stat st;
    return stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool usable(const std::string &platform, XProbe &x)
{
    if (platform == "offscreen" || platform == "minimal") return pluginLoads(platform);
    if (platform == "xcb") return x.reachable() && pluginLoads(platform);
    if (platform.compare(0, 7, "wayland") == 0) return waylandReachable() && pluginLoads(platform);
    // Other platforms (framebuffers, VNC) are not ones a browser user sits at.
    return false;
}

// The platform to start Qt with ("name" or "name:options"), or empty when no
// display can be reached. QT_QPA_PLATFORM, when set, lists the candidates.
std::string choosePlatform(XProbe &x)
{
    const std::string requested = env("QT_QPA_PLATFORM");
    const std::vector<std::string> candidates =
        requested.empty() ? std::vector<std::string>{"wayland", "xcb"} : split(requested, ';');
    for (const auto &candidate : candidates) {
        const std::string name = candidate.substr(0, candidate.find(':'));
        if (!name.empty() && usable(name, x)) return candidate;
    }
    return {};
}

// An X server may close connections that are set up at the same moment as
// others (Xvfb drops some of a dozen started at once), which would fail this
// check or, worse, make Qt abort. So the user's hosts start their dialogs one
// after the other: each holds a lock on a file of the user's from the
// display check until Qt is connected. The wait is bounded, and a lock file
// that is not the user's own regular file is not used, so nothing another
// user puts there can make the host wait for long.
class StartLock {
public:
    StartLock()
    {
        const std::string runtime = env("XDG_RUNTIME_DIR");
        const std::string path = !runtime.empty() && runtime[0] == '/'
                                     ? runtime + "/quorvanta-dialogs.lock"
                                     : "/tmp/quorvanta-dialogs-" + std::to_string(geteuid()) + ".lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
            ::close(fd);
            fd = -1;
        }
        if (fd < 0) return;
        // Up to ten seconds in steps of 20 ms.
        const timespec step = {0, 20 * 1000 * 1000};
        for (int tries = 0; tries < 500; ++tries) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
            if (errno != EWOULDBLOCK && errno != EINTR) break;
            ::nanosleep(&step, nullptr);
        }
        ::close(fd);
        fd = -1;
    }
    ~StartLock()
    {
        if (fd >= 0) ::close(fd); // releases the lock
    }
    StartLock(const StartLock &) = delete;
    StartLock &operator=(const StartLock &) = delete;

private:
    int fd = -1;
};

QApplication *application = nullptr;

} // namespace

QUORVANTA_EXPORT int quorvanta_dialogs_start(int abiVersion)
{
    try {
        if (abiVersion != QUORVANTA_DIALOG_ABI_VERSION) return 1;
        if (application) return 0;
        const StartLock lock;
        XProbe x;
        static std::string platform;
        platform = choosePlatform(x);
        if (platform.empty()) return 1;

        // Qt keeps argc and argv for the application's lifetime.
        static int argc = 3;
        static char name[] = "quorvanta-chrome-extension";
        static char option[] = "-platform";
        static char *argv[] = {name, option, &platform[0], nullptr};

        // Qt sets the process locale from the environment; the host formats
        // its messages in the C locale, so that is put back.
        const std::string locale = std::setlocale(LC_ALL, nullptr);
        // Lives until the process ends: the library is never unloaded.
        application = new QApplication(argc, argv);
        std::setlocale(LC_ALL, locale.c_str());
        QApplication::setQuitOnLastWindowClosed(false);
        return 0;
    } catch (...) {
        return 1;
    }
}

QUORVANTA_EXPORT int quorvanta_dialogs_pin(const QuorvantaPinView *view)
{
    try {
        if (!application || !view) return QUORVANTA_DIALOG_FAILED;
        quorvanta::PinDialog dialog(*view);
        return dialog.exec() == QDialog::Accepted ? QUORVANTA_DIALOG_ACCEPTED
                                                  : QUORVANTA_DIALOG_CANCELLED;
    } catch (...) {
        return QUORVANTA_DIALOG_FAILED;
    }
}

QUORVANTA_EXPORT int quorvanta_dialogs_consent(const QuorvantaConsentView *view)
{
    try {
        if (!application || !view) return QUORVANTA_DIALOG_FAILED;
        quorvanta::CertificateConsentDialog dialog(*view);
        return dialog.exec() == QDialog::Accepted ? QUORVANTA_DIALOG_ACCEPTED
                                                  : QUORVANTA_DIALOG_CANCELLED;
    } catch (...) {
        return QUORVANTA_DIALOG_FAILED;
    }
}
