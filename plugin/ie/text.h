// Narrow text (the thread's ANSI code page) and the UTF-16 that Windows and
// script see. Inside the plugin strings are narrow; they are converted only
// where a COM or Windows call needs UTF-16.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

std::wstring widen(const std::string &text, UINT codePage = CP_ACP);
std::string narrow(const std::wstring &text);
// The text in the ANSI code page without best-fit mapping (full-width digits
// do not become digits); false when a character has no exact counterpart.
bool narrowExactly(const std::wstring &text, std::string &out);

// The text of a BSTR, which may be null: a null BSTR is the empty text.
std::wstring bstrText(BSTR text);

// Hands a text to a COM caller as a new BSTR; E_POINTER without an output.
HRESULT returnText(const std::wstring &text, BSTR *out);
