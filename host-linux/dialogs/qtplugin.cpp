// The Qt dialog library's C entry points. The host loads this library only
// when it has a dialog to show. Starting checks that a display can be reached
// before Qt is started, because Qt ends the process when it cannot open one.
// Nothing thrown here leaves the library.
#include "dialogabi.h"
#include "qtdialogs.h"

#include <QApplication>
#include <QLibraryInfo>

#include <clocale>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
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

// Opens and closes an X connection through libxcb, which the xcb plugin uses.
bool xDisplayReachable()
{
    if (env("DISPLAY").empty()) return false;
    void *xcb = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!xcb) return false;
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool reachable = false;
    if (connect && hasError && disconnect) {
        void *connection = connect(nullptr, nullptr);
        reachable = connection && hasError(connection) == 0;
        if (connection) disconnect(connection);
    }
    dlclose(xcb);
    return reachable;
}

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

bool usable(const std::string &platform)
{
    if (platform == "offscreen" || platform == "minimal") return pluginLoads(platform);
    if (platform == "xcb") return xDisplayReachable() && pluginLoads(platform);
    if (platform.compare(0, 7, "wayland") == 0) return waylandReachable() && pluginLoads(platform);
    // Other platforms (framebuffers, VNC) are not ones a browser user sits at.
    return false;
}

// The platform to start Qt with ("name" or "name:options"), or empty when no
// display can be reached. QT_QPA_PLATFORM, when set, lists the candidates.
std::string choosePlatform()
{
    const std::string requested = env("QT_QPA_PLATFORM");
    const std::vector<std::string> candidates =
        requested.empty() ? std::vector<std::string>{"wayland", "xcb"} : split(requested, ';');
    for (const auto &candidate : candidates) {
        const std::string name = candidate.substr(0, candidate.find(':'));
        if (!name.empty() && usable(name)) return candidate;
    }
    return {};
}

QApplication *application = nullptr;

} // namespace

QUORVANTA_EXPORT int quorvanta_dialogs_start(int abiVersion)
{
    try {
        if (abiVersion != QUORVANTA_DIALOG_ABI_VERSION) return 1;
        if (application) return 0;
        static std::string platform;
        platform = choosePlatform();
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
