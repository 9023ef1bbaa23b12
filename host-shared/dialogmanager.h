// Platform seam: the two modal dialogs the host shows the user. The shipped
// hosts link the real dialogs of their platform; the test build of the host
// links a scripted implementation.
#pragma once

#include "securestring.h"

#include <string>

class DialogManager {
public:
    // The PIN typed by the user. Throws UserCancelledException on cancel and
    // TechnicalException when the dialog framework cannot start.
    static SecureString getPin(const std::string &origin, const std::string &holderName,
                               const std::string &personalCode, const std::string &validTo,
                               const std::string &pinName, int batchCount, bool isAuth,
                               bool isJwt, int triesLeft, bool wrongPin, int minPinLength,
                               int maxPinLength);

    // True when the user confirmed that the origin may read the certificate.
    // Throws TechnicalException when the dialog framework cannot start.
    static bool getCertificateConsent(const std::string &origin);
};
