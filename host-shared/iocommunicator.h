// Native-messaging framing: a 4-byte length in native byte order, then that
// many bytes of JSON text, in both directions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class IOCommunicator {
public:
    static constexpr std::uint32_t maxMessageLength = 1048576;

    IOCommunicator(std::FILE *input, std::FILE *output) : input(input), output(output) {}

    // One frame's text. A short read leaves the rest of the text zero bytes;
    // a length above the limit throws InvalidArgumentException without
    // reading the text.
    std::string readMessage();
    // Writes and flushes the whole frame before returning.
    void sendMessage(const std::string &text);

private:
    std::FILE *input;
    std::FILE *output;
};
