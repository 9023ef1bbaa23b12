// Error kinds that a web page is meant to see. Each kind carries a fixed
// error code (the response's "result") and a message (its "message"), and the
// number that the IE plugin's page script reads as its error code.
//
// The plugin compiles this file with QUORVANTA_PLUGIN_ERRORS defined: there
// what() is the code, and the kinds that only the host raises are left out.
#pragma once

#include <stdexcept>
#include <string>

class BaseException : public std::runtime_error {
public:
    BaseException(const std::string &code, const std::string &message, int number = 0)
#if defined(QUORVANTA_PLUGIN_ERRORS)
        : std::runtime_error(code),
#else
        : std::runtime_error(message),
#endif
          errorMessage(message), errorCode(code), errorNumber(number)
    {
    }

    const std::string &getErrorCode() const { return errorCode; }
    const std::string &getErrorMessage() const { return errorMessage; }
    int getErrorNumber() const { return errorNumber; }

private:
    std::string errorMessage;
    std::string errorCode;
    int errorNumber;
};

class TechnicalException : public BaseException {
public:
    explicit TechnicalException(const std::string &message)
        : BaseException("technical_error", message, 5) {}
};

class UserCancelledException : public BaseException {
public:
    UserCancelledException() : BaseException("user_cancel", "User cancelled", 1) {}
    // The plugin's signer names what was cancelled.
    explicit UserCancelledException(const std::string &message)
        : BaseException("user_cancel", message, 1) {}
};

class NoCertificatesException : public BaseException {
public:
    NoCertificatesException() : BaseException("no_certificates", "Cert not found", 2) {}
};

class InvalidHashException : public BaseException {
public:
    InvalidHashException() : BaseException("invalid_argument", "Invalid Hash", 17) {}
};

#if defined(QUORVANTA_PLUGIN_ERRORS)

class PinBlockedException : public BaseException {
public:
    PinBlockedException()
        : BaseException("pin_blocked", "Maximum number of PIN entry attempts has been reached", 24) {}
};

#else

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

#endif
