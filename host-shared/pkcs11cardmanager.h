// The host's only contact with the smart card: the PKCS#11 module (one module
// instance per process) and token instances (one per use of a slot), with the
// certificate usage tests and subject readers of the found certificate.
#pragma once

#include "pkcs11.h"

#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class ModuleLibrary;

class UserCanceledError : public std::runtime_error {
public:
    UserCanceledError() : std::runtime_error("User canceled") {}
};

class AuthenticationError : public std::runtime_error {
public:
    AuthenticationError() : std::runtime_error("Authentication error") {}
};

class AuthenticationBadInput : public std::runtime_error {
public:
    AuthenticationBadInput() : std::runtime_error("Authentication Bad Input") {}
};

class PKCS11CardManager {
public:
    // The module instance; loads and initialises the module on the first
    // successful call. Throws std::runtime_error "PKCS11 is not loaded".
    static PKCS11CardManager *instance();

    // A token instance: opens a session on the slot and searches the
    // certificate of the wanted kind.
    PKCS11CardManager(CK_SLOT_ID slotId, CK_FUNCTION_LIST_PTR functionList, bool forAuth);
    // Closes every session of the slot; never throws.
    ~PKCS11CardManager();
    PKCS11CardManager(const PKCS11CardManager &) = delete;
    PKCS11CardManager &operator=(const PKCS11CardManager &) = delete;

    std::vector<CK_SLOT_ID> getAvailableTokens();
    CK_TOKEN_INFO *getTokenInfo(CK_TOKEN_INFO *tokenInfo);
    std::vector<CK_OBJECT_HANDLE> findCertificate();
    std::vector<CK_OBJECT_HANDLE> findKey(CK_OBJECT_CLASS objectClass);
    CK_KEY_TYPE getKeyType();
    // Logs in with the PIN (null: no PIN), signs, logs out.
    std::vector<unsigned char> sign(const std::vector<unsigned char> &hash, const char *pin);
    std::string getPinName() const;

    static bool isSigningCertificate(X509 *certificate);
    static bool isAuthenticationCertificate(X509 *certificate);
    std::string getSubjectX509Name(const std::string &fieldName) const;
    std::string getHolderName() const;
    std::string getValidTo() const;
    // The length in bytes of a signature made with the found certificate's
    // key: the RSA modulus, r||s for EC; 0 without a certificate.
    std::size_t getSignatureLength() const;
    // The same for any certificate; 0 for null.
    static std::size_t signatureLength(X509 *certificate);

    // Read directly by callers.
    CK_FUNCTION_LIST_PTR functionList = nullptr;
    bool certificateFound = false;
    std::vector<unsigned char> certificate;

private:
    struct X509Deleter {
        void operator()(X509 *certificate) const { X509_free(certificate); }
    };

    PKCS11CardManager() = default;
    // Reads object handles after C_FindObjectsInit until the module has no
    // more; a failing C_FindObjects ends the reading with what was read.
    template <typename OnHandle>
    std::vector<CK_OBJECT_HANDLE> readObjectHandles(OnHandle onHandle);
    // The two-call read of a variable-length attribute, with its length checked.
    std::vector<unsigned char> readAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    CK_KEY_TYPE readKeyType(CK_OBJECT_HANDLE object);

    std::unique_ptr<ModuleLibrary> library;
    std::unique_ptr<X509, X509Deleter> x509Certificate;
    std::vector<unsigned char> certificateId;
    CK_SLOT_ID slotId = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool forAuth = false;
    int pinKind = 0;
};
