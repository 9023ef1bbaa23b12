// Key loading and signing for the test key doubles, with OpenSSL.
#include "keyfixture.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace keydouble {

Pkey loadKey(const Settings &settings, const std::string &container)
{
    if (settings.keys.empty() || container.empty()) return Pkey();
    const std::string path = settings.keys + "\\" + container + ".key.pem";
    std::unique_ptr<BIO, int (*)(BIO *)> file(BIO_new_file(path.c_str(), "r"), BIO_free);
    if (!file) return Pkey();
    return Pkey(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
}

Bytes digestInfo(const std::wstring &name, bool *known)
{
    // Every prefix is 15 (SHA-1) or 19 bytes long.
    static const struct { const wchar_t *name; const char *prefix; size_t size; } table[] = {
        {L"SHA1", "\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14", 15},
        {L"SHA224", "\x30\x2d\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x04\x05\x00\x04\x1c", 19},
        {L"SHA256", "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19},
        {L"SHA384", "\x30\x41\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x02\x05\x00\x04\x30", 19},
        {L"SHA512", "\x30\x51\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03\x05\x00\x04\x40", 19},
    };
    for (const auto &row : table) {
        if (name == row.name) {
            if (known) *known = true;
            return Bytes(row.prefix, row.prefix + row.size);
        }
    }
    if (known) *known = name.empty();
    return Bytes();
}

Bytes sign(EVP_PKEY *key, const Bytes &data)
{
    if (!key) return Bytes();
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                    EVP_PKEY_CTX_free);
    size_t size = 0;
    const bool rsa = EVP_PKEY_base_id(key) == EVP_PKEY_RSA;
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        (rsa && EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) ||
        EVP_PKEY_sign(context.get(), nullptr, &size, data.data(), data.size()) <= 0)
        return Bytes();
    Bytes signature(size);
    if (EVP_PKEY_sign(context.get(), signature.data(), &size, data.data(), data.size()) <= 0) return Bytes();
    signature.resize(size);
    if (rsa) return signature;

    // ECDSA: the DER sequence of r and s becomes r||s, each of the field size.
    const unsigned char *in = signature.data();
    std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG *)> parsed(d2i_ECDSA_SIG(nullptr, &in, long(signature.size())),
                                                             ECDSA_SIG_free);
    if (!parsed) return Bytes();
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes plain(size_t(2 * half));
    if (BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), plain.data(), half) != half ||
        BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), plain.data() + half, half) != half)
        return Bytes();
    return plain;
}

} // namespace keydouble
