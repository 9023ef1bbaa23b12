#include "certificateselection.h"

#include "consentcheck.h"
#include "errors.h"
#include "hex.h"
#include "log.h"
#include "pkcs11cardmanager.h"

#include <memory>

std::string CertificateSelection::getCertPKCS11(bool forAuth, const std::string &origin)
{
    // Consent comes before any token is touched.
    checkConsent(origin);

    const std::vector<CK_SLOT_ID> slots = PKCS11CardManager::instance()->getAvailableTokens();
    for (CK_SLOT_ID slot : slots) {
        try {
            CK_FUNCTION_LIST_PTR functionList = PKCS11CardManager::instance()->functionList;
            if (!functionList) throw std::runtime_error("PKCS11 is not loaded");
            PKCS11CardManager token(slot, functionList, forAuth);
            if (token.certificateFound) return toHex(token.certificate);
        } catch (const std::runtime_error &e) {
            // A failing token must not hide a good one later in the list.
            QLOG("Technical error: %s", e.what());
        }
    }
    throw NoCertificatesException();
}
