// UTF-8 to UTF-16 at the boundaries where Windows or the dialogs need it.
// Invalid UTF-8 raises std::range_error "bad conversion".
#pragma once

#include <string>

// Characters beyond the Basic Multilingual Plane become surrogate pairs.
std::u16string utf8ToUtf16(const std::string &text);

// One 16-bit unit per code point: characters beyond the Basic Multilingual
// Plane keep only their low 16 bits (the registry's value names are stored so).
std::u16string utf8ToUcs2(const std::string &text);

// UTF-16 code units that utf8ToUtf16 would give.
std::size_t utf16Length(const std::string &text);

std::string utf16ToUtf8(const std::u16string &text);
