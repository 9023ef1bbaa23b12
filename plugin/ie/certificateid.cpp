// MD5 through a verify-only context of the base RSA provider, which every
// Windows installation has.
#include "certificateid.h"

#include "errors.h"

#include <cstring>

namespace {

[[noreturn]] void cannotCompute()
{
    throw TechnicalException("Failed to calculate certificate ID");
}

} // namespace

CertificateIdHasher::CertificateIdHasher()
{
    if (!CryptAcquireContextW(provider.put(), nullptr, L"Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT))
        cannotCompute();
}

std::string CertificateIdHasher::operator()(const unsigned char *der, std::size_t length) const
{
    const void *zero = length ? std::memchr(der, 0, length) : nullptr;
    const DWORD hashed = DWORD(zero ? static_cast<const unsigned char *>(zero) - der : length);

    CryptHash hash;
    BYTE digest[16];
    DWORD digestSize = sizeof digest;
    if (!CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.put()) || !CryptHashData(hash.get(), der, hashed, 0) ||
        !CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digestSize, 0) || digestSize != sizeof digest)
        cannotCompute();

    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (BYTE byte : digest) {
        id.push_back(digits[byte >> 4]);
        id.push_back(digits[byte & 0x0F]);
    }
    return id;
}

std::string certificateId(const unsigned char *der, std::size_t length)
{
    return CertificateIdHasher()(der, length);
}
