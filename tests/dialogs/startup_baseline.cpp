// The least a native-messaging host linked with libcrypto can do: read one
// frame, answer it with a fixed VERSION response and wait for the end of its
// input. The start-up cost and idle memory of the real host are measured
// against this program.
#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

int main()
{
    // Keeps libcrypto a real dependency that the loader must map.
    if (OpenSSL_version_num() == 0) return 2;
    unsigned char header[4];
    if (std::fread(header, 1, 4, stdin) != 4) return 1;
    const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t(header[3]) << 24;
    std::vector<char> body(length);
    if (length && std::fread(body.data(), 1, length, stdin) != length) return 1;
    static const char response[] = "{\"api\":1,\"nonce\":\"1\",\"result\":\"ok\",\"version\":\"2.3.9\"}";
    const std::uint32_t size = sizeof response - 1;
    const unsigned char out[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                                  static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    std::fwrite(out, 1, 4, stdout);
    std::fwrite(response, 1, size, stdout);
    std::fflush(stdout);
    // Idle until the input ends, as a host does between requests, so that its
    // memory can be measured at the same point.
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}
