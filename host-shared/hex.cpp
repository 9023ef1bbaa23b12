#include "hex.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string toHex(const ByteVec &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

ByteVec fromHex(const std::string &hex)
{
    if (hex.size() % 2 != 0) throw std::runtime_error("Hex is incorrect");
    ByteVec bytes(hex.size() / 2, 0);
    // Each pair is scanned like sscanf("%2X") over the C string from that
    // pair on; a pair that does not scan keeps the previous value. Two hex
    // digits, the overwhelmingly common case, are decoded directly.
    // Decoding ends at the first NUL; the remaining bytes keep the last value.
    const char *text = hex.c_str();
    const std::size_t textLength = std::strlen(text);
    unsigned int value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t pos = 2 * i;
        if (pos < textLength) {
            int high = hexDigit(text[pos]);
            int low = high < 0 ? -1 : hexDigit(text[pos + 1]);
            if (low >= 0)
                value = unsigned(high * 16 + low);
            else
                std::sscanf(text + pos, "%2X", &value);
        }
        bytes[i] = static_cast<unsigned char>(value);
    }
    return bytes;
}

bool isSupportedHashSize(std::size_t bytes)
{
    switch (bytes) {
    case 20: case 28: case 32: case 36: case 48: case 64:
        return true;
    default:
        return false;
    }
}

bool isSupportedHashHexLength(std::size_t hexChars)
{
    return isSupportedHashSize(hexChars / 2);
}
