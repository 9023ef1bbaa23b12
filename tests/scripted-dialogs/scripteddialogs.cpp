// Dialogs for the test build of the host. Until a test script answers them,
// every dialog fails as a dialog framework that cannot start.
#include "dialogmanager.h"
#include "errors.h"

SecureString DialogManager::getPin(const std::string &, const std::string &, const std::string &,
                                   const std::string &, const std::string &, int, bool, bool, int,
                                   bool, int, int)
{
    throw TechnicalException("No dialog script");
}

bool DialogManager::getCertificateConsent(const std::string &)
{
    throw TechnicalException("No dialog script");
}
