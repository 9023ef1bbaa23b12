// The Linux host's dialogs. The Qt dialog library is loaded on first use from
// the directory of the running program (never from the current directory or a
// path taken from the environment), so a host that shows no dialog never pays
// for starting Qt. The dialog model computes what is shown; the library
// renders it.
#include "dialogmanager.h"

#include "dialogabi.h"
#include "dialogmodel.h"
#include "errors.h"
#include "log.h"
#include "modelviews.h"

#include <ctime>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

struct DialogLibrary {
    QuorvantaDialogsStart start = nullptr;
    QuorvantaPinDialog pin = nullptr;
    QuorvantaConsentDialog consent = nullptr;
};

std::string executableDirectory()
{
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1);
}

// Loaded once and kept until the process ends (Qt cannot be unloaded).
const DialogLibrary *loadLibrary()
{
    static DialogLibrary library;
    static bool loaded = false;
    if (loaded) return &library;
    const std::string directory = executableDirectory();
    if (directory.empty()) return nullptr;
    const std::string path = directory + QUORVANTA_DIALOG_LIBRARY;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = dlerror();
        writeLog("initializeMFC", __FILE__, __LINE__, "Cannot load %s: %s", path.c_str(),
                 error ? error : "");
        return nullptr;
    }
    library.start = reinterpret_cast<QuorvantaDialogsStart>(dlsym(handle, "quorvanta_dialogs_start"));
    library.pin = reinterpret_cast<QuorvantaPinDialog>(dlsym(handle, "quorvanta_dialogs_pin"));
    library.consent =
        reinterpret_cast<QuorvantaConsentDialog>(dlsym(handle, "quorvanta_dialogs_consent"));
    if (!library.start || !library.pin || !library.consent) {
        dlclose(handle);
        library = DialogLibrary();
        return nullptr;
    }
    loaded = true;
    return &library;
}

// The dialog framework's start-up check, run before every dialog: the library
// must load and a display must be reachable.
const DialogLibrary &initializeFramework()
{
    const DialogLibrary *library = loadLibrary();
    if (!library) {
        writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed. Module handle is null");
        throw TechnicalException("MFC initialization failed. Module handle is null");
    }
    if (library->start(QUORVANTA_DIALOG_ABI_VERSION) != 0) {
        writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed");
        throw TechnicalException("MFC initialization failed");
    }
    return *library;
}

void acceptPin(void *context, const char *pin, size_t length)
{
    *static_cast<SecureString *>(context) = SecureString(pin, length);
}

} // namespace

SecureString DialogManager::getPin(const std::string &origin, const std::string &holderName,
                                   const std::string &personalCode, const std::string &validTo,
                                   const std::string &pinName, int batchCount, bool isAuth,
                                   bool isJwt, int triesLeft, bool wrongPin, int minPinLength,
                                   int maxPinLength)
{
    QLOG("Showing pin entry dialog");
    const DialogLibrary &library = initializeFramework();
    // Linux has no portable notion of the browser's window to own the dialog;
    // the dialog keeps itself on top instead.
    QLOG("Parent window handle %i", 0);

    const PinDialogModel model({origin, holderName, personalCode, validTo, pinName, batchCount,
                                isAuth, isJwt, triesLeft, wrongPin, minPinLength, maxPinLength},
                               std::time(nullptr));
    SecureString pin;
    QuorvantaPinView view = pinView(model);
    view.acceptPin = acceptPin;
    view.acceptPinContext = &pin;

    const int result = library.pin(&view);
    if (result == QUORVANTA_DIALOG_FAILED) {
        writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed");
        throw TechnicalException("MFC initialization failed");
    }
    if (result != QUORVANTA_DIALOG_ACCEPTED || pin.isNull()) {
        QLOG("User cancelled");
        throw UserCancelledException();
    }
    return pin;
}

bool DialogManager::getCertificateConsent(const std::string &origin)
{
    QLOG("Showing cert consent dialog");
    const DialogLibrary &library = initializeFramework();
    QLOG("Parent window handle %i", 0);

    const ConsentDialogModel model(origin);
    const QuorvantaConsentView view = consentView(model);
    const int result = library.consent(&view);
    if (result == QUORVANTA_DIALOG_FAILED) {
        writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed");
        throw TechnicalException("MFC initialization failed");
    }
    return result == QUORVANTA_DIALOG_ACCEPTED;
}
