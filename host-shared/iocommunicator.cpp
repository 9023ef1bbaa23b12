#include "iocommunicator.h"

#include "errors.h"
#include "log.h"

#include <cstring>

std::string IOCommunicator::readMessage()
{
    // At end of input the length stays 0, or keeps the bytes that did arrive
    // as its low-order part.
    std::uint32_t length = 0;
    std::fread(&length, 1, sizeof length, input);
    if (length > maxMessageLength)
        throw InvalidArgumentException("Invalid message length " + std::to_string(length));

    std::string text(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        std::size_t n = std::fread(&text[got], 1, length - got, input);
        if (n == 0) break;
        got += n;
    }
    QLOG("Request(%i): %s ", int(length), text.c_str());
    return text;
}

void IOCommunicator::sendMessage(const std::string &text)
{
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    // One buffer, one write: the browser never sees half a frame from us
    // unless the pipe itself fails, and then nothing more can be done.
    std::string frame(sizeof length + text.size(), '\0');
    std::memcpy(&frame[0], &length, sizeof length);
    QLOG("Response(%i) %s ", int(length), text.c_str());
    std::memcpy(&frame[sizeof length], text.data(), text.size());
    std::fwrite(frame.data(), 1, frame.size(), output);
    std::fflush(output);
}
