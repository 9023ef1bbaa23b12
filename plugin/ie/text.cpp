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

bool narrowExactly(const std::wstring &text, std::string &out)
{
    out.clear();
    if (text.empty()) return true;
    BOOL inexact = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), nullptr, 0,
                                           nullptr, &inexact);
    if (length <= 0 || inexact) return false;
    out.resize(size_t(length));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), &out[0], length, nullptr,
                        &inexact);
    return !inexact;
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
