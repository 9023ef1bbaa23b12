// Helpers shared by the card manager tests.
#include "cardmanagertest.h"

#include <algorithm>
#include <cstdlib>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

void setEnvironment(const std::string &name, const std::string &value)
{
#if defined(_WIN32)
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

std::string environment(const std::string &name)
{
    const char *value = std::getenv(name.c_str());
    return value ? value : "";
}

std::vector<unsigned char> readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

fs::path pkiDir()
{
    const std::string dir = environment("QUORVANTA_TEST_PKI");
    if (dir.empty()) throw std::runtime_error("QUORVANTA_TEST_PKI is not set");
    return dir;
}

std::set<std::string> pkiCertificateNames()
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(pkiDir())) {
        if (entry.path().extension() == ".der") names.insert(entry.path().stem().string());
    }
    return names;
}

std::vector<unsigned char> pkiDer(const std::string &name)
{
    std::vector<unsigned char> der = readFile(pkiDir() / (name + ".der"));
    if (der.empty()) throw std::runtime_error("missing test certificate " + name);
    return der;
}

X509Ptr loadPkiCertificate(const std::string &name)
{
    const std::vector<unsigned char> der = pkiDer(name);
    const unsigned char *p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

TemporaryDirectory::TemporaryDirectory()
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        dir = fs::temp_directory_path() / ("quorvanta-card-" + std::to_string(random()));
        if (fs::create_directory(dir)) return;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

void LoggedTest::SetUp()
{
    const char *temp = std::getenv("TEMP");
    hadTemp = temp != nullptr;
    if (temp) savedTemp = temp;
    logDir = std::make_unique<TemporaryDirectory>();
    setEnvironment("TEMP", logDir->path().string());
    clearLog();
}

void LoggedTest::TearDown()
{
#if defined(_WIN32)
    setEnvironment("TEMP", savedTemp);
#else
    if (hadTemp) setEnvironment("TEMP", savedTemp);
    else unsetenv("TEMP");
#endif
    logDir.reset();
}

void LoggedTest::clearLog()
{
    writeFile(logDir->path() / "quorvanta-chrome-extension.log", "");
}

std::vector<std::string> LoggedTest::logLines() const
{
    std::ifstream in(logDir->path() / "quorvanta-chrome-extension.log", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LoggedTest::logMessages() const
{
    std::vector<std::string> messages;
    for (const std::string &line : logLines()) {
        const std::size_t site = line.find("() [");
        const std::size_t end = site == std::string::npos ? site : line.find("] ", site);
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

void LoggedTest::expectLogLinesInOrder(const std::vector<std::string> &expected) const
{
    const std::vector<std::string> messages = logMessages();
    auto at = messages.begin();
    for (const std::string &line : expected) {
        at = std::find(at, messages.end(), line);
        if (at == messages.end()) {
            std::ostringstream log;
            for (const std::string &m : messages) log << "  " << m << "\n";
            ADD_FAILURE() << "log line \"" << line << "\" missing or out of order in:\n"
                          << log.str();
            return;
        }
        ++at;
    }
}

std::vector<unsigned char> testHash(std::size_t length, unsigned char seed)
{
    std::vector<unsigned char> hash(length);
    for (std::size_t i = 0; i < length; ++i) hash[i] = static_cast<unsigned char>(seed + i * 7);
    return hash;
}

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG *signature) const { ECDSA_SIG_free(signature); }
};

const EVP_MD *digestForLength(std::size_t length)
{
    switch (length) {
    case 20: return EVP_sha1();
    case 28: return EVP_sha224();
    case 32: return EVP_sha256();
    case 48: return EVP_sha384();
    case 64: return EVP_sha512();
    default: return nullptr;
    }
}

// The card's r||s as the DER ECDSA-Sig-Value that OpenSSL verifies.
std::vector<unsigned char> ecdsaDer(const std::vector<unsigned char> &rs)
{
    std::unique_ptr<ECDSA_SIG, EcdsaSigFree> signature(ECDSA_SIG_new());
    const int half = static_cast<int>(rs.size() / 2);
    BIGNUM *r = BN_bin2bn(rs.data(), half, nullptr);
    BIGNUM *s = BN_bin2bn(rs.data() + half, half, nullptr);
    if (!signature || !r || !s || !ECDSA_SIG_set0(signature.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return {};
    }
    const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
    std::vector<unsigned char> der(length > 0 ? length : 0);
    unsigned char *p = der.data();
    i2d_ECDSA_SIG(signature.get(), &p);
    return der;
}

} // namespace

bool verifyCardSignature(const std::vector<unsigned char> &certificateDer,
                         const std::vector<unsigned char> &hash,
                         const std::vector<unsigned char> &signature)
{
    const unsigned char *p = certificateDer.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    if (!certificate) return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(certificate.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) <= 0) return false;
    std::vector<unsigned char> der = signature;
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA) {
        if (EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) return false;
        const EVP_MD *md = digestForLength(hash.size());
        if (md && EVP_PKEY_CTX_set_signature_md(context.get(), md) <= 0) return false;
    } else {
        der = ecdsaDer(signature);
    }
    return EVP_PKEY_verify(context.get(), der.data(), der.size(), hash.data(), hash.size()) == 1;
}
