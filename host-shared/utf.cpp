#include "utf.h"

#include <stdexcept>

namespace {

// Decodes UTF-8 strictly: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
template <typename Sink>
void decodeUtf8(const std::string &text, Sink sink)
{
    const auto fail = [] { throw std::range_error("bad conversion"); };
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp;
        std::size_t extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1F; extra = 1; }
        else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0F; extra = 2; }
        else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07; extra = 3; }
        else fail();
        if (i + extra >= n && extra) fail();
        for (std::size_t k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) fail();
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))
            || (cp >= 0xD800 && cp <= 0xDFFF))
            fail();
        sink(cp);
        i += extra + 1;
    }
}

} // namespace

std::u16string utf8ToUtf16(const std::string &text)
{
    std::u16string out;
    out.reserve(text.size());
    decodeUtf8(text, [&out](char32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    });
    return out;
}

std::u16string utf8ToUcs2(const std::string &text)
{
    std::u16string out;
    out.reserve(text.size());
    decodeUtf8(text, [&out](char32_t cp) { out.push_back(char16_t(cp & 0xFFFF)); });
    return out;
}

std::size_t utf16Length(const std::string &text)
{
    std::size_t units = 0;
    decodeUtf8(text, [&units](char32_t cp) { units += cp >= 0x10000 ? 2 : 1; });
    return units;
}

std::string utf16ToUtf8(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00
            && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            throw std::range_error("bad conversion");
        }
        appendUtf8(out, cp);
    }
    return out;
}
