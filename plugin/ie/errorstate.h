// The error code and message that a scripting object keeps for page script,
// and the failure report that makes the script engine raise an exception
// carrying the message.
#pragma once

#include "errors.h"

#include <windows.h>

#include <string>

class ErrorState {
public:
    // After every successful certificate or signing call: 0 and no message.
    void clearErrors();
    // Records a caught error kind: its number and message.
    void setError(const BaseException &error);
    // Records a failure that has no error object (the page-address check).
    void record(int code, const std::string &message);

    int code() const { return errorCode; }
    const std::string &message() const { return errorMessage; }

    // Installs error information describing the current message as the
    // thread's and returns DISP_E_EXCEPTION, which the method then returns.
    HRESULT reportFailure() const;

private:
    int errorCode = 0;
    std::string errorMessage;
};

// The same report for any message; also used by objects without an error state.
HRESULT reportFailure(const std::string &message);
