#include "securestring.h"

#include <openssl/crypto.h>

#include <cstring>
#include <utility>

void secureWipe(void *data, std::size_t length)
{
    if (data && length) OPENSSL_cleanse(data, length);
}

SecureString::SecureString(const char *data, std::size_t size)
    : buffer(new char[size + 1]), length(size)
{
    if (size) std::memcpy(buffer.get(), data, size);
    buffer[size] = '\0';
}

SecureString::SecureString(SecureString &&other) noexcept
    : buffer(std::move(other.buffer)), length(other.length)
{
    other.length = 0;
}

SecureString &SecureString::operator=(SecureString &&other) noexcept
{
    if (this != &other) {
        wipe();
        buffer = std::move(other.buffer);
        length = other.length;
        other.length = 0;
    }
    return *this;
}

SecureString::~SecureString() { wipe(); }

void SecureString::wipe()
{
    if (buffer) secureWipe(buffer.get(), length + 1);
    buffer.reset();
    length = 0;
}
