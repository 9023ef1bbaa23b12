// Error kinds that a web page is meant to see. Each kind carries a fixed
// error code (the response's "result") and a message (its "message").
#pragma once

#include <stdexcept>
#include <string>

class BaseException : public std::runtime_error {
public:
    BaseException(const std::string &code, const std::string &message)
        : std::runtime_error(message), errorMessage(message), errorCode(code) {}

    const std::string &getErrorCode() const { return errorCode; }
    const std::string &getErrorMessage() const { return errorMessage; }

private:
    std::string errorMessage;
    std::string errorCode;
};

class TechnicalException : public BaseException {
public:
    explicit TechnicalException(const std::string &message)
        : BaseException("technical_error", message) {}
};

class UserCancelledException : public BaseException {
public:
    UserCancelledException() : BaseException("user_cancel", "User cancelled") {}
};

class NoCertificatesException : public BaseException {
public:
    NoCertificatesException() : BaseException("no_certificates", "Cert not found") {}
};

class InvalidHashException : public BaseException {
public:
    InvalidHashException() : BaseException("invalid_argument", "Invalid Hash") {}
};

// The one kind that ends the host: the main loop answers it and exits.
class InvalidArgumentException : public BaseException {
public:
    explicit InvalidArgumentException(const std::string &message)
        : BaseException("invalid_argument", message) {}
};

// A batch whose answer would be larger than a browser accepts from a host.
class BatchTooLargeException : public BaseException {
public:
    BatchTooLargeException()
        : BaseException("invalid_argument",
                        "Too many hashes: the signatures would exceed the browser's limit of 1048576 bytes")
    {}
};

class NotAllowedException : public BaseException {
public:
    explicit NotAllowedException(const std::string &message)
        : BaseException("not_allowed", message) {}
};

class InconsistentOriginException : public BaseException {
public:
    InconsistentOriginException()
        : BaseException("invalid_argument", "Request origin can't change between requests") {}
};
