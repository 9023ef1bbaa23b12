// Byte data as hexadecimal text, and the hash sizes the signers accept.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using ByteVec = std::vector<unsigned char>;

// Two upper-case hex digits per byte, no separators.
std::string toHex(const ByteVec &bytes);

// Pairs of either case. Odd length fails with std::runtime_error
// "Hex is incorrect". Pairs are scanned like "%2X": a pair that does not scan
// repeats the previous byte (0 for the first); decoding stops at a NUL.
ByteVec fromHex(const std::string &hex);

// 20, 28, 32, 36, 48 or 64 bytes.
bool isSupportedHashSize(std::size_t bytes);

// The size rule applied to hex text: half the length, a final odd digit ignored.
bool isSupportedHashHexLength(std::size_t hexChars);
