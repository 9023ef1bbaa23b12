// Turns one request object into one response object: member checks, the
// one-origin rule, language selection, dispatch, and the error responses of
// the host's own error kinds. JSON in, JSON out: no I/O here.
#pragma once

#include "jsonxx.h"

#include <cstddef>
#include <string>

class RequestHandler {
public:
    // Parses the text; throws InvalidArgumentException "Bad request" when it
    // does not start with a JSON object.
    explicit RequestHandler(const std::string &text);

    // The request's "nonce" when it is a string, else empty.
    std::string getNonce() const;

    // The complete response. InvalidArgumentException and errors that are not
    // the host's own kinds pass through to the caller.
    jsonxx::Object handleRequest();

    // The origin is fixed by a process's first request; a program that runs
    // several host sessions in one process starts each with none.
    static void forgetOrigin();

private:
    bool isValidRequest() const;
    void validateOrigin(const std::string &origin);
    void handleVersionRequest();
    void validateHttpsOrigin() const;
    void handleCertRequest();
    bool hasSignRequestArguments() const;
    void handleSignRequest();
    void refuseBatchTooLarge(const jsonxx::Object &hashes, std::size_t signatureLength) const;
    void handleException(const class BaseException &e);
    void completeResponse();
    void complete(jsonxx::Object &answer) const;

    std::string text;
    jsonxx::Object request;
    jsonxx::Object response;
};
