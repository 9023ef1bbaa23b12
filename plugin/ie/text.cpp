// Conversions between the ANSI code page and UTF-16.
#include "text.h"

#include "comsupport.h"

std::wstring widen(const std::string &text, UINT codePage)
{
    if (text.empty()) return {};
    int length = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string narrow(const std::wstring &text)
{
    if (text.empty()) return {};
    int length = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &result[0], length, nullptr, nullptr);
    return result;
}

std::wstring bstrText(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

HRESULT returnText(const std::wstring &text, BSTR *out)
{
    if (!out) return E_POINTER;
    *out = Bstr(text).detach();
    return S_OK;
}
