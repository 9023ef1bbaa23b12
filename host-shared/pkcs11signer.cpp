#include "pkcs11signer.h"

#include "authtoken.h"
#include "dialogmanager.h"
#include "errors.h"
#include "hex.h"
#include "log.h"
#include "pkcs11cardmanager.h"

namespace {

struct X509Free {
    void operator()(X509 *certificate) const { X509_free(certificate); }
};

int triesLeftFromFlags(CK_FLAGS flags)
{
    if (flags & CKF_USER_PIN_LOCKED) return 0;
    if (flags & CKF_USER_PIN_FINAL_TRY) return 1;
    if (flags & CKF_USER_PIN_COUNT_LOW) return 2;
    return 3;
}

} // namespace

std::unique_ptr<Signer> getSigner(const jsonxx::Value &hash, const std::string &origin,
                                  const std::string &cert, bool isAuth, bool isJwt)
{
    return std::unique_ptr<Signer>(new Pkcs11Signer(hash, origin, cert, isAuth, isJwt));
}

Pkcs11Signer::Pkcs11Signer(const jsonxx::Value &hash, const std::string &origin,
                           const std::string &cert, bool isAuth, bool isJwt)
    : Signer(hash, origin, cert, isAuth, isJwt), cardManager(getCardManager())
{
}

Pkcs11Signer::~Pkcs11Signer() = default;

std::unique_ptr<PKCS11CardManager> Pkcs11Signer::getCardManager()
{
    PKCS11CardManager *module = PKCS11CardManager::instance();
    const std::vector<CK_SLOT_ID> slots = module->getAvailableTokens();
    for (CK_SLOT_ID slot : slots) {
        try {
            if (!module->functionList) throw std::runtime_error("PKCS11 is not loaded");
            std::unique_ptr<PKCS11CardManager> candidate(
                new PKCS11CardManager(slot, module->functionList, isAuth));
            if (candidate->certificate == fromHex(cert)) {
                QLOG("Card manager found with this slot");
                return candidate;
            }
            QLOG("Card manager not found with this slot");
        } catch (const std::runtime_error &e) {
            QLOG("Technical error: %s", e.what());
        }
    }
    QLOG("No card manager found for this certificate");
    throw InvalidArgumentException("No card manager found for this certificate");
}

jsonxx::Object Pkcs11Signer::getHashes(const jsonxx::Value &hash)
{
    if (hash.is<jsonxx::Object>()) return hash.get<jsonxx::Object>();
    jsonxx::Object hashes;
    hashes << hash.get<jsonxx::String>() << hash.get<jsonxx::String>();
    return hashes;
}

jsonxx::Value Pkcs11Signer::sign()
{
    // The hashes were checked before the card was looked for.
    QLOG("Signing using PKCS#11 module");
    return askPinAndSignHash();
}

void Pkcs11Signer::validateHashLength(const jsonxx::Value &hash, bool isAuth)
{
    const jsonxx::Object hashes = getHashes(hash);
    QLOG("Hash value %s ", hashes.json().c_str());
    // A batch without hashes would ask for the PIN to sign nothing.
    if (hashes.empty()) throw InvalidHashException();
    for (const auto &member : hashes.kv_map()) {
        // Every batch member must be hex text; anything else is refused
        // before the user is asked for anything.
        if (!member.second->is<jsonxx::String>()) throw InvalidHashException();
        const std::string &value = member.second->get<jsonxx::String>();
        writeLog("Pkcs11Signer::isHashSupported", __FILE__, __LINE__,
                 "Validating hash length %i for operation sign %i", int(value.size()), isAuth ? 1 : 0);
        // An odd digit would fail only when decoded, after the PIN.
        if (value.size() % 2 != 0 || !isSupportedHashHexLength(value.size())) {
            QLOG("Hash length %i is invalid", int(value.size()));
            throw InvalidHashException();
        }
    }
}

jsonxx::Value Pkcs11Signer::askPinAndSignHash()
{
    for (;;) {
        try {
            const std::string holderName = cardManager->getHolderName();
            const std::string personalCode = cardManager->getSubjectX509Name("serialNumber");
            const std::string validTo = cardManager->getValidTo();
            const std::string pinName = cardManager->getPinName();

            const jsonxx::Object hashes = getHashes(hash);
            const bool isBatch = hash.is<jsonxx::Object>();
            const int batchCount = isBatch ? int(hashes.size()) : 0;

            CK_TOKEN_INFO tokenInfo = {};
            cardManager->getTokenInfo(&tokenInfo);
            const int triesLeft = triesLeftFromFlags(tokenInfo.flags);

            const SecureString pin = DialogManager::getPin(
                origin, holderName, personalCode, validTo, pinName, batchCount, isAuth, isJwt,
                triesLeft, wrongPin, int(tokenInfo.ulMinPinLen), int(tokenInfo.ulMaxPinLen));

            jsonxx::Object signatures;
            for (const auto &member : hashes.kv_map()) {
                const ByteVec bytes = fromHex(member.second->get<jsonxx::String>());
                const std::string result =
                    isJwt ? buildAuthToken(bytes, origin, *cardManager, pin.c_str())
                          : toHex(cardManager->sign(bytes, pin.c_str()));
                wrongPin = false;
                QLOG("Sign result: %s", result.c_str());
                if (!isBatch) return jsonxx::Value(result);
                signatures << member.first << result;
            }
            return jsonxx::Value(signatures);
        } catch (const AuthenticationError &) {
            QLOG("Wrong pin");
            wrongPin = true;
        } catch (const AuthenticationBadInput &) {
            QLOG("Bad pin input");
        }
    }
}

std::size_t signatureLengthOfCertificate(const std::string &cert)
{
    ByteVec der;
    try {
        der = fromHex(cert);
    } catch (const std::runtime_error &) {
        return 0;
    }
    const unsigned char *p = der.data();
    const std::unique_ptr<X509, X509Free> certificate(
        der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return PKCS11CardManager::signatureLength(certificate.get());
}
