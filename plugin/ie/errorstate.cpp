// Error state and failure report of the scripting objects. The report's
// source is the ProgID registered for the scripting class, so a script
// engine can tell which component raised the exception.
#include "errorstate.h"

#include "comsupport.h"
#include "pluginlog.h"
#include "quorvantapluginie.h"
#include "text.h"

#include <oleauto.h>

#include <memory>

void ErrorState::clearErrors()
{
    PLUGIN_LOG_ENTRY();
    errorCode = 0;
    errorMessage.clear();
}

void ErrorState::setError(const BaseException &error)
{
    PLUGIN_LOG_ENTRY();
    errorCode = error.getErrorNumber();
    errorMessage = error.getErrorMessage();
    PLUGIN_LOG("Set error: %s (HEX %Xh, DEC %u)", errorMessage.c_str(), unsigned(errorCode), unsigned(errorCode));
}

void ErrorState::record(int code, const std::string &message)
{
    errorCode = code;
    errorMessage = message;
}

HRESULT ErrorState::reportFailure() const
{
    return ::reportFailure(errorMessage);
}

namespace {

struct TaskMemFree {
    void operator()(wchar_t *text) const { CoTaskMemFree(text); }
};

} // namespace

HRESULT reportFailure(const std::string &message)
{
    // Best effort: without error information the method still fails.
    comBoundary([&] {
        ComPtr<ICreateErrorInfo> info;
        throwIfFailed(CreateErrorInfo(info.put()));
        wchar_t *progId = nullptr;
        if (SUCCEEDED(ProgIDFromCLSID(CLSID_QuorvantaIEPluginBHO, &progId))) {
            std::unique_ptr<wchar_t, TaskMemFree> owner(progId);
            info->SetSource(progId);
        }
        std::wstring description = widen(message);
        info->SetDescription(&description[0]);
        info->SetGUID(GUID_NULL);
        ComPtr<IErrorInfo> errorInfo;
        throwIfFailed(info->QueryInterface(IID_IErrorInfo, errorInfo.putVoid()));
        return SetErrorInfo(0, errorInfo.get());
    });
    return DISP_E_EXCEPTION;
}
