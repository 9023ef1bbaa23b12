// Late-bound calls through IDispatch as a script engine makes them: the name
// through GetIDsOfNames, then Invoke with the arguments last first.
#pragma once

#include "comsupport.h"

#include <string>
#include <vector>

struct Answer {
    HRESULT hr = E_FAIL;
    std::wstring text;        // a BSTR result
    ComPtr<IDispatch> object; // a VT_DISPATCH result
    std::wstring description; // of the exception
    std::wstring source;
};

// Takes the arguments' contents and frees them.
Answer call(IDispatch *object, const wchar_t *name, WORD flags, std::vector<VARIANT> args = {});

// A BSTR argument; a null text gives a null BSTR.
VARIANT text(const wchar_t *value);
VARIANT text(const std::wstring &value);
