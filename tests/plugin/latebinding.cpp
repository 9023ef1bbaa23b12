#include "latebinding.h"

Answer call(IDispatch *object, const wchar_t *name, WORD flags, std::vector<VARIANT> args)
{
    Answer answer;
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    answer.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(answer.hr)) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        const bool isPut = flags == DISPATCH_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), isPut ? &put : nullptr, UINT(reversed.size()), isPut ? 1u : 0u};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception{};
        answer.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &exception, nullptr);
        if (V_VT(&result) == VT_BSTR && V_BSTR(&result)) answer.text = V_BSTR(&result);
        if (V_VT(&result) == VT_DISPATCH) answer.object = ComPtr<IDispatch>::share(V_DISPATCH(&result));
        if (exception.bstrDescription) answer.description = exception.bstrDescription;
        if (exception.bstrSource) answer.source = exception.bstrSource;
        VariantClear(&result);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrHelpFile);
    }
    for (VARIANT &arg : args) VariantClear(&arg);
    return answer;
}

VARIANT text(const wchar_t *value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = value ? SysAllocString(value) : nullptr;
    return v;
}

VARIANT text(const std::wstring &value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(value.data(), UINT(value.size()));
    return v;
}
