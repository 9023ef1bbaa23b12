// The card manager: binds the PKCS#11 module once per process, lists the
// slots with a token, and for one slot opens a session, finds the signing or
// authentication certificate with its keys and signs a hash on the card. It
// also holds the certificate usage tests and the subject readers that the PIN
// dialog shows. Every Cryptoki call goes through one result step that logs it
// and maps its return value; every length the module reports is checked
// before it is used.
#include "pkcs11cardmanager.h"

#include "hex.h"
#include "log.h"
#include "modulelibrary.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>

namespace {

// Limits on what a module may report. Real cards stay far below them; a
// module that goes beyond is treated as failing rather than trusted.
constexpr CK_ULONG maxAttributeLength = 1024 * 1024;
constexpr CK_ULONG maxSlotCount = 1024;
constexpr CK_ULONG maxSignatureLength = 64 * 1024;
constexpr std::size_t maxObjectHandles = 4096;
constexpr std::size_t initialHandleCount = 10;

const char *const methodFailed = "PKCS11 method failed.";
const char *const notLoaded = "PKCS11 is not loaded";

// The one result step of every Cryptoki call: log the return value under the
// Cryptoki function's name and turn failures into the errors callers handle.
void checkResult(const char *function, const char *file, int line, CK_RV rv)
{
    writeLog(function, file, line, "return value %u", static_cast<unsigned>(rv));
    switch (rv) {
    case CKR_OK:
        return;
    case CKR_FUNCTION_CANCELED:
        throw UserCanceledError();
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LOCKED:
        throw AuthenticationError();
    case CKR_PIN_LEN_RANGE:
        throw AuthenticationBadInput();
    default:
        throw std::runtime_error(methodFailed);
    }
}

// A module may leave entries of its function list empty; calling one is a
// failed call, not a crash.
template <typename Function, typename... Args>
void callModule(const char *name, const char *file, int line, Function function, Args... args)
{
    checkResult(name, file, line, function ? function(args...) : CKR_FUNCTION_NOT_SUPPORTED);
}

#define CRYPTOKI(function, ...) \
    callModule(#function, __FILE__, __LINE__, functionList->function, __VA_ARGS__)

struct GeneralizedTimeDeleter {
    void operator()(ASN1_GENERALIZEDTIME *time) const { ASN1_GENERALIZEDTIME_free(time); }
};

struct ExtendedKeyUsageDeleter {
    void operator()(EXTENDED_KEY_USAGE *usage) const { EXTENDED_KEY_USAGE_free(usage); }
};

using ExtendedKeyUsagePtr = std::unique_ptr<EXTENDED_KEY_USAGE, ExtendedKeyUsageDeleter>;

ExtendedKeyUsagePtr extendedKeyUsage(X509 *certificate)
{
    return ExtendedKeyUsagePtr(static_cast<EXTENDED_KEY_USAGE *>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr)));
}

// The key usage bits as OpenSSL 1.1 reported them: the first two bytes of the
// extension's bit string, or all 32 bits set when the certificate has no key
// usage extension (or one that does not decode). Read from the extension
// itself: OpenSSL 3's X509_get_key_usage answers 0 as soon as any other
// extension of the certificate is invalid.
std::uint32_t keyUsageBits(X509 *certificate)
{
    ASN1_BIT_STRING *usage = static_cast<ASN1_BIT_STRING *>(
        X509_get_ext_d2i(certificate, NID_key_usage, nullptr, nullptr));
    if (!usage) return UINT32_MAX;
    std::uint32_t bits = 0;
    const int length = ASN1_STRING_length(usage);
    const unsigned char *data = ASN1_STRING_get0_data(usage);
    if (length > 0) bits = data[0];
    if (length > 1) bits |= std::uint32_t(data[1]) << 8;
    ASN1_BIT_STRING_free(usage);
    return bits;
}

// The OID's registered name, else its dotted number; at most 79 characters.
std::string oidText(const ASN1_OBJECT *oid)
{
    char text[80] = {};
    i2t_ASN1_OBJECT(text, sizeof(text), oid);
    return text;
}

// DigestInfo prefixes of PKCS #1 v1.5 signatures, chosen by the hash length.
const unsigned char sha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                    0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const unsigned char sha224Prefix[] = {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c};
const unsigned char sha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const unsigned char sha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const unsigned char sha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

std::vector<unsigned char> rsaSignedData(const std::vector<unsigned char> &hash)
{
    std::vector<unsigned char> data;
    switch (hash.size()) {
    case 20: data.assign(std::begin(sha1Prefix), std::end(sha1Prefix)); break;
    case 28: data.assign(std::begin(sha224Prefix), std::end(sha224Prefix)); break;
    case 32: data.assign(std::begin(sha256Prefix), std::end(sha256Prefix)); break;
    case 48: data.assign(std::begin(sha384Prefix), std::end(sha384Prefix)); break;
    case 64: data.assign(std::begin(sha512Prefix), std::end(sha512Prefix)); break;
    case 36: break; // MD5 and SHA-1 concatenated, signed bare
    default: QLOG("incorrect digest length, dropping padding"); break;
    }
    data.insert(data.end(), hash.begin(), hash.end());
    return data;
}

// Closes a session that a failing constructor leaves behind.
class SessionGuard {
public:
    SessionGuard(CK_FUNCTION_LIST_PTR functionList, CK_SESSION_HANDLE session)
        : functionList(functionList), session(session) {}
    ~SessionGuard()
    {
        if (!functionList) return;
        try {
            CRYPTOKI(C_CloseSession, session);
        } catch (const std::exception &) {
            // The session is gone either way; the original error is what counts.
        }
    }
    SessionGuard(const SessionGuard &) = delete;
    SessionGuard &operator=(const SessionGuard &) = delete;
    void release() { functionList = nullptr; }

private:
    CK_FUNCTION_LIST_PTR functionList;
    CK_SESSION_HANDLE session;
};

} // namespace

PKCS11CardManager *PKCS11CardManager::instance()
{
    // Never destroyed: the module stays loaded and initialised until the
    // process ends, and nothing runs C_Finalize from a static destructor.
    static PKCS11CardManager *module = nullptr;
    if (module) return module;

    // Any failure below unloads the library again and stores nothing, so the
    // next call starts over.
    auto library = std::make_unique<ModuleLibrary>();
    if (!library->loaded()) throw std::runtime_error(notLoaded);
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(library->symbol("C_GetFunctionList"));
    if (!getFunctionList) throw std::runtime_error(notLoaded);

    CK_FUNCTION_LIST_PTR functionList = nullptr;
    checkResult("C_GetFunctionList", __FILE__, __LINE__, getFunctionList(&functionList));
    if (!functionList) throw std::runtime_error(notLoaded);
    CRYPTOKI(C_Initialize, nullptr);

    library->keep();
    // Created only now: a module instance never exists half-made, so a failed
    // binding has no instance whose teardown could be logged.
    std::unique_ptr<PKCS11CardManager> candidate(new PKCS11CardManager());
    candidate->library = std::move(library);
    candidate->functionList = functionList;
    module = candidate.release();
    return module;
}

PKCS11CardManager::PKCS11CardManager(CK_SLOT_ID slotId, CK_FUNCTION_LIST_PTR functionList,
                                     bool forAuth)
    : functionList(functionList), slotId(slotId), forAuth(forAuth)
{
    QLOG("Create instance with slot %lu", static_cast<unsigned long>(slotId));
    if (!functionList) throw std::runtime_error(notLoaded);
    CRYPTOKI(C_OpenSession, slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    SessionGuard guard(functionList, session);
    certificateFound = !findCertificate().empty();
    guard.release();
    QLOG("Instance created with slot %lu", static_cast<unsigned long>(slotId));
}

PKCS11CardManager::~PKCS11CardManager()
{
    if (library) return; // the module instance owns no session
    try {
        const unsigned long slot = slotId;
        QLOG("Delete instance with slot %lu", slot);
        QLOG("Delete close all sessions with slot %lu", slot);
        try {
            if (functionList) CRYPTOKI(C_CloseAllSessions, slotId);
        } catch (const std::exception &e) {
            // A pulled card cannot close its sessions; the host goes on.
            QLOG("Closing the sessions of slot %lu failed: %s", slot, e.what());
        }
        x509Certificate.reset();
        QLOG("Delete completed with slot %lu", slot);
    } catch (...) {
        // Nothing leaves a destructor.
    }
}

std::vector<CK_SLOT_ID> PKCS11CardManager::getAvailableTokens()
{
    if (!functionList) throw std::runtime_error(notLoaded);
    CK_ULONG slotCount = 0;
    CRYPTOKI(C_GetSlotList, CK_TRUE, nullptr, &slotCount);
    QLOG("slotCount = %i", static_cast<int>(slotCount));
    if (slotCount > maxSlotCount) throw std::runtime_error(methodFailed);
    std::vector<CK_SLOT_ID> slots(slotCount, 0);
    // The module is told the vector's size; whatever count it answers, the
    // result keeps the size of the first answer.
    CK_ULONG filled = slotCount;
    CRYPTOKI(C_GetSlotList, CK_TRUE, slots.empty() ? nullptr : slots.data(), &filled);
    return slots;
}

CK_TOKEN_INFO *PKCS11CardManager::getTokenInfo(CK_TOKEN_INFO *tokenInfo)
{
    if (!functionList) throw std::runtime_error(notLoaded);
    QLOG("readTokenInfo with slot %lu", static_cast<unsigned long>(slotId));
    CRYPTOKI(C_GetTokenInfo, slotId, tokenInfo);
    return tokenInfo;
}

template <typename OnHandle>
std::vector<CK_OBJECT_HANDLE> PKCS11CardManager::readObjectHandles(OnHandle onHandle)
{
    std::vector<CK_OBJECT_HANDLE> handles(initialHandleCount, CK_INVALID_HANDLE);
    std::size_t read = 0;
    try {
        // Cards with more objects than the first guess are read whole: a
        // dropped object could be the certificate being looked for.
        while (read < maxObjectHandles) {
            if (read == handles.size()) handles.resize(handles.size() * 2, CK_INVALID_HANDLE);
            CK_ULONG objectCount = 0;
            CRYPTOKI(C_FindObjects, session, &handles[read], 1, &objectCount);
            if (objectCount == 0 && handles[read] == CK_INVALID_HANDLE) break;
            onHandle(handles[read]);
            ++read;
        }
    } catch (const std::runtime_error &) {
        // A search that breaks off keeps what it found so far.
    }
    handles.resize(read);
    return handles;
}

std::vector<unsigned char> PKCS11CardManager::readAttribute(CK_OBJECT_HANDLE object,
                                                            CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    CRYPTOKI(C_GetAttributeValue, session, object, &attribute, 1);
    // Also refuses CK_UNAVAILABLE_INFORMATION, which is all bits set.
    if (attribute.ulValueLen > maxAttributeLength) throw std::runtime_error(methodFailed);
    std::vector<unsigned char> value(attribute.ulValueLen, 0);
    const CK_ULONG size = attribute.ulValueLen;
    attribute.pValue = value.empty() ? nullptr : value.data();
    CRYPTOKI(C_GetAttributeValue, session, object, &attribute, 1);
    if (attribute.ulValueLen > size) throw std::runtime_error(methodFailed);
    value.resize(attribute.ulValueLen);
    return value;
}

CK_KEY_TYPE PKCS11CardManager::readKeyType(CK_OBJECT_HANDLE object)
{
    CK_KEY_TYPE keyType = CKK_VENDOR_DEFINED;
    CK_ATTRIBUTE attribute = {CKA_KEY_TYPE, &keyType, sizeof(keyType)};
    CRYPTOKI(C_GetAttributeValue, session, object, &attribute, 1);
    if (attribute.ulValueLen != sizeof(keyType)) throw std::runtime_error(methodFailed);
    return keyType;
}

std::vector<CK_OBJECT_HANDLE> PKCS11CardManager::findCertificate()
{
    if (!functionList) throw std::runtime_error(notLoaded);
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE searchTemplate[] = {{CKA_CLASS, &objectClass, sizeof(objectClass)}};
    CRYPTOKI(C_FindObjectsInit, session, searchTemplate, 1);
    const std::vector<CK_OBJECT_HANDLE> handles = readObjectHandles([](CK_OBJECT_HANDLE) {});
    CRYPTOKI(C_FindObjectsFinal, session);
    const int objectCount = static_cast<int>(handles.size());
    QLOG("findCertificate read %i objects", objectCount);

    for (CK_OBJECT_HANDLE handle : handles) {
        certificate = readAttribute(handle, CKA_VALUE);
        const unsigned char *der = certificate.data();
        x509Certificate.reset(
            certificate.empty() ? nullptr
                                : d2i_X509(nullptr, &der, static_cast<long>(certificate.size())));
        // A null certificate makes the test raise "Could not parse cert".
        const bool wanted = forAuth ? isAuthenticationCertificate(x509Certificate.get())
                                    : isSigningCertificate(x509Certificate.get());
        if (!wanted) {
            QLOG("findCertificate: not a required certificate %i", static_cast<int>(handle));
            certificate.clear();
            x509Certificate.reset();
            continue;
        }
        certificateId = readAttribute(handle, CKA_ID);
        QLOG("findCertificate: certificate id length: %i", static_cast<int>(certificateId.size()));
        QLOG("findCertificate: certificate id: %s", toHex(certificateId).c_str());
        // A slot with a single certificate is one of a two-PIN card's halves.
        if (forAuth) pinKind = objectCount == 1 ? 1 : 0;
        else pinKind = objectCount == 1 ? 2 : 0;
        QLOG("findCertificate: found required certificate %i", static_cast<int>(handle));
        return {handle};
    }
    QLOG("findCertificate: required certificate not found ");
    certificate.clear();
    x509Certificate.reset();
    return {};
}

std::vector<CK_OBJECT_HANDLE> PKCS11CardManager::findKey(CK_OBJECT_CLASS objectClass)
{
    if (!functionList) throw std::runtime_error(notLoaded);
    const std::string id = toHex(certificateId);
    QLOG("selected = %i, session = %i, certificateId = %s, ",
         static_cast<int>(reinterpret_cast<std::uintptr_t>(functionList)),
         static_cast<int>(session), id.c_str());
    std::vector<CK_OBJECT_HANDLE> handles;
    try {
        CK_ATTRIBUTE searchTemplate[] = {
            {CKA_CLASS, &objectClass, sizeof(objectClass)},
            {CKA_ID, certificateId.empty() ? nullptr : certificateId.data(),
             static_cast<CK_ULONG>(certificateId.size())}};
        CRYPTOKI(C_FindObjectsInit, session, searchTemplate, 2);
        handles = readObjectHandles([&id](CK_OBJECT_HANDLE handle) {
            QLOG("Found private key %i for certificate id %s", static_cast<int>(handle), id.c_str());
        });
        QLOG("Exit find loop, count = %i, objectCount = %i, handle = %i",
             static_cast<int>(handles.size()), 0, 0);
        CRYPTOKI(C_FindObjectsFinal, session);
        QLOG("Found %i private keys for certificate id %s", static_cast<int>(handles.size()),
             id.c_str());
    } catch (const std::runtime_error &) {
        QLOG("Error finding private key for certificate id %s", id.c_str());
        return {};
    }
    if (handles.size() == 1) return handles;
    QLOG("Wrong count of private keys found %i", static_cast<int>(handles.size()));
    return {};
}

CK_KEY_TYPE PKCS11CardManager::getKeyType()
{
    const std::vector<CK_OBJECT_HANDLE> keys = findKey(CKO_PUBLIC_KEY);
    if (keys.empty()) throw std::runtime_error("Could not read private key");
    const CK_KEY_TYPE keyType = readKeyType(keys.front());
    QLOG("keyType: %d", static_cast<int>(keyType));
    return keyType;
}

std::vector<unsigned char> PKCS11CardManager::sign(const std::vector<unsigned char> &hash,
                                                   const char *pin)
{
    if (!functionList) throw std::runtime_error(notLoaded);
    // The PIN goes to the card as it is; it is never copied or logged here.
    CRYPTOKI(C_Login, session, CKU_USER,
             reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
             static_cast<CK_ULONG>(pin ? std::strlen(pin) : 0));

    const std::vector<CK_OBJECT_HANDLE> keys = findKey(CKO_PRIVATE_KEY);
    if (keys.empty()) throw std::runtime_error("Could not read private key");
    const CK_KEY_TYPE keyType = readKeyType(keys.front());
    QLOG("keyType: %d", static_cast<int>(keyType));

    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    std::vector<unsigned char> data;
    switch (keyType) {
    case CKK_RSA:
        mechanism.mechanism = CKM_RSA_PKCS;
        data = rsaSignedData(hash);
        break;
    case CKK_EC:
        mechanism.mechanism = CKM_ECDSA;
        data = hash;
        break;
    default:
        throw std::runtime_error("Private key type not supported");
    }
    CRYPTOKI(C_SignInit, session, &mechanism, keys.front());

    CK_ULONG signatureLength = 0;
    CRYPTOKI(C_Sign, session, data.empty() ? nullptr : data.data(),
             static_cast<CK_ULONG>(data.size()), nullptr, &signatureLength);
    if (signatureLength > maxSignatureLength) throw std::runtime_error(methodFailed);
    std::vector<unsigned char> signature(signatureLength, 0);
    CK_ULONG written = signatureLength;
    CRYPTOKI(C_Sign, session, data.empty() ? nullptr : data.data(),
             static_cast<CK_ULONG>(data.size()), signature.empty() ? nullptr : signature.data(),
             &written);
    // The length query may report more than the signature needs; the signing
    // call reports how much the card wrote, and only that is the signature.
    if (written == 0 || written > signatureLength) throw std::runtime_error(methodFailed);
    signature.resize(written);
    CRYPTOKI(C_Logout, session);
    return signature;
}

std::string PKCS11CardManager::getPinName() const
{
    switch (pinKind) {
    case 0: return "PIN";
    case 1: return "PIN1";
    default: return "PIN2";
    }
}

bool PKCS11CardManager::isSigningCertificate(X509 *certificate)
{
    if (!certificate) throw std::runtime_error("Could not parse cert");
    QLOG("Checking is signing certificate");
    // All bits are set when the certificate has no key usage extension.
    const std::uint32_t keyUsage = keyUsageBits(certificate);
    if ((keyUsage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0) {
        QLOG("Cert with wrong key usage");
        return false;
    }
    const ExtendedKeyUsagePtr usages = extendedKeyUsage(certificate);
    if (!usages) {
        QLOG("Cert with correct key usage");
        return true;
    }
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
        const std::string text = oidText(sk_ASN1_OBJECT_value(usages.get(), i));
        QLOG("EKU OID: %s", text.c_str());
        // Document signing; the library has no name for it, so its dotted
        // form is what the text holds.
        if (text.find("1.3.6.1.4.1.311.10.3.12") != std::string::npos) {
            QLOG("Signing cert with correct extended key usage");
            return true;
        }
    }
    QLOG("Cert with wrong extended key usage");
    return false;
}

bool PKCS11CardManager::isAuthenticationCertificate(X509 *certificate)
{
    if (!certificate) throw std::runtime_error("Could not parse cert");
    QLOG("Checking is authentication certificate");
    const std::uint32_t keyUsage = keyUsageBits(certificate);
    QLOG("Checking is authentication certificate keyUsage: %i", static_cast<int>(keyUsage));
    if ((keyUsage & KU_DIGITAL_SIGNATURE) == 0) {
        QLOG("Cert with wrong key usage");
        return false;
    }
    const ExtendedKeyUsagePtr usages = extendedKeyUsage(certificate);
    if (!usages) {
        QLOG("Cert without extended key usage");
        return false;
    }
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
        const ASN1_OBJECT *oid = sk_ASN1_OBJECT_value(usages.get(), i);
        QLOG("EKU OID: %s", oidText(oid).c_str());
        if (OBJ_obj2nid(oid) == NID_client_auth) {
            QLOG("Authentication cert with correct extended key usage");
            return true;
        }
    }
    QLOG("Cert with wrong extended key usage");
    return false;
}

std::string PKCS11CardManager::getSubjectX509Name(const std::string &fieldName) const
{
    if (!x509Certificate) throw std::runtime_error("Could not parse cert");
    const int nid = OBJ_txt2nid(fieldName.c_str());
    char text[1024] = {};
    const int length = nid == NID_undef
        ? -1
        : X509_NAME_get_text_by_NID(X509_get_subject_name(x509Certificate.get()), nid, text,
                                    sizeof(text));
    const std::string result = length < 1 ? std::string() : std::string(text, length);
    QLOG("%s length is %i, %s", fieldName.c_str(), length, result.c_str());
    return result;
}

std::string PKCS11CardManager::getHolderName() const
{
    const std::string surname = getSubjectX509Name("surname");
    const std::string givenName = getSubjectX509Name("givenName");
    return givenName + " " + surname;
}

std::size_t PKCS11CardManager::getSignatureLength() const
{
    return signatureLength(x509Certificate.get());
}

std::size_t PKCS11CardManager::signatureLength(X509 *certificate)
{
    EVP_PKEY *key = certificate ? X509_get0_pubkey(certificate) : nullptr;
    if (!key) return 0;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC)
        return 2 * ((static_cast<std::size_t>(EVP_PKEY_get_bits(key)) + 7) / 8);
    // RSA: the modulus length. For any other kind of key, the longest
    // signature it can make.
    const int size = EVP_PKEY_get_size(key);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

std::string PKCS11CardManager::getValidTo() const
{
    if (!x509Certificate) throw std::runtime_error("Could not parse cert");
    std::unique_ptr<ASN1_GENERALIZEDTIME, GeneralizedTimeDeleter> time(
        ASN1_TIME_to_generalizedtime(X509_get0_notAfter(x509Certificate.get()), nullptr));
    if (!time) throw std::runtime_error("Could not parse cert");
    return std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(time.get())),
                       static_cast<std::size_t>(ASN1_STRING_length(time.get())));
}
