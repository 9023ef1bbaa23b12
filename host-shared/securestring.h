// A NUL-terminated secret (the PIN) in a buffer that is never reallocated and
// is wiped when it is released.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class SecureString {
public:
    SecureString() = default;
    // Copies `length` bytes into a fresh buffer of length + 1.
    SecureString(const char *data, std::size_t length);
    SecureString(SecureString &&other) noexcept;
    SecureString &operator=(SecureString &&other) noexcept;
    SecureString(const SecureString &) = delete;
    SecureString &operator=(const SecureString &) = delete;
    ~SecureString();

    // Null when empty-constructed: a null PIN goes to the card as no PIN.
    const char *c_str() const { return buffer.get(); }
    std::size_t size() const { return length; }
    bool isNull() const { return !buffer; }
    void wipe();

private:
    std::unique_ptr<char[]> buffer;
    std::size_t length = 0;
};

// Overwrites memory in a way the optimiser may not drop.
void secureWipe(void *data, std::size_t length);
