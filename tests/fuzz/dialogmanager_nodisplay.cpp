// The dialogs of a host that can reach no display: each fails to start, as
// the Qt dialogs do then.
#include "dialogmanager.h"

#include "errors.h"

SecureString DialogManager::getPin(const std::string &, const std::string &, const std::string &,
                                   const std::string &, const std::string &, int, bool, bool, int,
                                   bool, int, int)
{
    throw TechnicalException("MFC initialization failed");
}

bool DialogManager::getCertificateConsent(const std::string &)
{
    throw TechnicalException("MFC initialization failed");
}
