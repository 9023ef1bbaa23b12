// The certificate object's methods. Selection from the personal certificate
// store is not built yet: select_certificate refuses with E_NOTIMPL and error
// information saying so, and the properties stay empty.
#include "quorvantacertificate.h"

#include "errorstate.h"
#include "pluginlog.h"
#include "text.h"

const InterfaceEntry<CQuorvantaCertificate> CQuorvantaCertificate::interfaceTable[] = {
    {&IID_IQuorvantaCertificate, &interfaceOf<CQuorvantaCertificate, IQuorvantaCertificate>},
    {&IID_IDispatch, &interfaceOf<CQuorvantaCertificate, IQuorvantaCertificate>},
    {nullptr, nullptr},
};

HRESULT CQuorvantaCertificate::get_id(BSTR *id)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(L"", id); });
}

HRESULT CQuorvantaCertificate::get_certificateAsHex(BSTR *certificate)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(L"", certificate); });
}

HRESULT CQuorvantaCertificate::get_cert(BSTR *certificate)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([&] { return returnText(L"", certificate); });
}

HRESULT CQuorvantaCertificate::select_certificate(long)
{
    PLUGIN_LOG_ENTRY();
    return comBoundary([] {
        reportFailure("Certificate selection is not available yet");
        return E_NOTIMPL;
    });
}
