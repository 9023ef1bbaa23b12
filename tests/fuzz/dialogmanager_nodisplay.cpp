// The dialogs of a host that can reach no display: each fails to start, as
// the Qt dialogs do then. The origin line is still fitted first, with a
// stand-in font, so that every origin a fuzzer makes goes through its rule.
#include "dialogmanager.h"

#include "dialogmodel.h"
#include "errors.h"
#include "originline.h"

#include <stdexcept>

namespace {

[[noreturn]] void noDisplay(const std::string &origin)
{
    try {
        originline::fit(ConsentDialogModel(origin).origin, 357, 16, 11,
                        [](const std::string &text, int h) { return int(text.size()) * h / 2; });
    } catch (const std::range_error &) {
        // Not UTF-8: the real dialogs fail to start before they see it.
    }
    throw TechnicalException("MFC initialization failed");
}

} // namespace

SecureString DialogManager::getPin(const std::string &origin, const std::string &,
                                   const std::string &, const std::string &, const std::string &,
                                   int, bool, bool, int, bool, int, int)
{
    noDisplay(origin);
}

bool DialogManager::getCertificateConsent(const std::string &origin)
{
    noDisplay(origin);
}
