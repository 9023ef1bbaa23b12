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

// Appends one code point (not a surrogate, at most U+10FFFF) as UTF-8. Inline,
// so that the JSON reader, which links nothing else of the core, uses it too.
inline void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}
