#include "requesthandler.h"

#include "certificateselection.h"
#include "errors.h"
#include "log.h"
#include "pkcs11signer.h"
#include "textcatalogue.h"

#include <algorithm>
#include <memory>

namespace {

const char *const hostVersion = "2.3.9";

// Chromium and Firefox refuse any message from a host that is larger.
constexpr std::size_t maxAnswerLength = 1048576;

// A host process serves exactly one origin: the first one that asks.
std::string &firstOrigin()
{
    static std::string origin;
    return origin;
}

// A browser never puts a control character in an origin. One that holds one
// could pass for the home domain (whose test looks at the end of the text), be
// cut short at a NUL where a consent is stored, or split a line of the log.
bool hasControlCharacter(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const unsigned char byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

bool isStringEqual(const jsonxx::Object &object, const char *key, const char *value)
{
    return object.has<jsonxx::String>(key) && object.get<jsonxx::String>(key) == value;
}

} // namespace

RequestHandler::RequestHandler(const std::string &text) : text(text)
{
    if (!request.parse(this->text)) throw InvalidArgumentException("Bad request");
}

std::string RequestHandler::getNonce() const
{
    return request.has<jsonxx::String>("nonce") ? request.get<jsonxx::String>("nonce")
                                                : std::string();
}

jsonxx::Object RequestHandler::handleRequest()
{
    try {
        QLOG("RequestHandler::handleRequest()");
        if (!isValidRequest()) throw InvalidArgumentException("Invalid argument");
        validateOrigin(request.get<jsonxx::String>("origin"));
        const std::string type = request.get<jsonxx::String>("type");
        TextCatalogue::setLanguage(request.has<jsonxx::String>("lang")
                                       ? request.get<jsonxx::String>("lang")
                                       : std::string("en"));
        if (type == "VERSION") {
            handleVersionRequest();
        } else if (type == "CERT") {
            handleCertRequest();
        } else if (type == "SIGN" && hasSignRequestArguments()) {
            QLOG("RequestHandler::handleSignRequest() called");
            handleSignRequest();
        } else {
            throw InvalidArgumentException("Invalid argument");
        }
    } catch (const InvalidArgumentException &) {
        throw;
    } catch (const BaseException &e) {
        handleException(e);
    }
    completeResponse();
    return response;
}

void RequestHandler::forgetOrigin()
{
    firstOrigin().clear();
}

bool RequestHandler::isValidRequest() const
{
    return request.has<jsonxx::String>("type") && request.has<jsonxx::String>("nonce")
           && request.has<jsonxx::String>("origin");
}

void RequestHandler::validateOrigin(const std::string &origin)
{
    // Refused before the origin is fixed for the process or used at all.
    if (hasControlCharacter(origin)) {
        QLOG("Origin with a control character refused");
        throw NotAllowedException("Origin contains a control character");
    }
    std::string &first = firstOrigin();
    if (first.empty()) {
        first = origin;
    } else if (origin != first) {
        QLOG("RequestHandler::validateOrigin error");
        throw InconsistentOriginException();
    }
}

void RequestHandler::handleVersionRequest()
{
    response << "version" << hostVersion;
}

void RequestHandler::validateHttpsOrigin() const
{
    if (!request.has<jsonxx::String>("origin")) throw NotAllowedException("Origin is not given");
    if (request.get<jsonxx::String>("origin").compare(0, 6, "https:") != 0)
        throw NotAllowedException("Origin doesn't contain https");
}

void RequestHandler::handleCertRequest()
{
    validateHttpsOrigin();
    const bool forAuth = isStringEqual(request, "operation", "auth")
                         || isStringEqual(request, "operation", "jwt");
    const std::string cert =
        CertificateSelection::getCertPKCS11(forAuth, request.get<jsonxx::String>("origin"));
    response << "cert" << cert;
}

bool RequestHandler::hasSignRequestArguments() const
{
    return request.has<jsonxx::String>("cert")
           && (request.has<jsonxx::Object>("hash") || request.has<jsonxx::String>("hash"));
}

void RequestHandler::handleSignRequest()
{
    QLOG("handle signing request");
    validateHttpsOrigin();

    const bool hashIsObject = request.has<jsonxx::Object>("hash");
    const std::string &cert = request.get<jsonxx::String>("cert");
    const std::string &origin = request.get<jsonxx::String>("origin");
    bool isAuth = false;
    bool isJwt = false;
    if (request.has<jsonxx::String>("operation")) {
        const std::string &operation = request.get<jsonxx::String>("operation");
        isAuth = operation == "auth" || operation == "jwt";
        isJwt = operation == "jwt";
    }
    if (hashIsObject && isAuth) throw InvalidArgumentException("Invalid argument");

    // Whatever the request alone shows to be wrong is refused before the card
    // is looked for, so that the answer is the same whichever card is
    // inserted: a page must not learn, unseen, whose card is in the reader.
    const jsonxx::Value &hash = request.get<jsonxx::Value>("hash");
    Pkcs11Signer::validateHashLength(hash, isAuth);
    // The signatures' length follows from the request's certificate: the
    // card can only be the one that holds these very bytes.
    if (hashIsObject) refuseBatchTooLarge(hash.get<jsonxx::Object>(), signatureLengthOfCertificate(cert));

    // The signer, and with it the token instance and its sessions, lives for
    // this request only.
    std::unique_ptr<Signer> signer = getSigner(hash, origin, cert, isAuth, isJwt);

    jsonxx::Object logged;
    logged << "hash" << hash;
    QLOG("signing hash: %s, with certId: %s", logged.json().c_str(), cert.c_str());

    const jsonxx::Value signature = signer->sign();
    response << "signature" << signature;
}

// A browser would drop an answer above its limit after the user typed the PIN
// and the card signed every hash, so such a batch is refused before the PIN
// dialog. The answer is measured exactly: this response, completed, with a
// signature of the key's length under each of the batch's names.
void RequestHandler::refuseBatchTooLarge(const jsonxx::Object &hashes,
                                         std::size_t signatureLength) const
{
    const std::string signature(2 * signatureLength, '0');
    jsonxx::Object signatures;
    for (const auto &member : hashes.kv_map()) signatures << member.first << signature;
    jsonxx::Object answer = response;
    answer << "signature" << signatures;
    complete(answer);
    const std::size_t length = answer.json().size();
    if (length <= maxAnswerLength) return;
    QLOG("Answer of %lu bytes is too large", static_cast<unsigned long>(length));
    throw BatchTooLargeException();
}

void RequestHandler::handleException(const BaseException &e)
{
    response = jsonxx::Object();
    response << "result" << e.getErrorCode() << "message" << e.getErrorMessage();
}

void RequestHandler::completeResponse()
{
    complete(response);
}

void RequestHandler::complete(jsonxx::Object &answer) const
{
    if (request.has<jsonxx::String>("nonce"))
        answer << "nonce" << request.get<jsonxx::String>("nonce");
    if (!answer.has<jsonxx::String>("result")) answer << "result" << "ok";
    answer << "api" << 1;
}
