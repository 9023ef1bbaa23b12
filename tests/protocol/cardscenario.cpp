#include "cardscenario.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace hosttest {

namespace {

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    if (!value || !*value) throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string makeTempDir()
{
    std::string base = "/tmp";
    if (const char *work = std::getenv("QUORVANTA_PROTOCOL_WORK_DIR")) base = work;
    mkdir(base.c_str(), 0700);
    std::string pattern = base + "/scenario-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509 *cert) const { X509_free(cert); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};

} // namespace

bool hostRunsUnderWine()
{
    return hostCommand()[0].find("wine") != std::string::npos;
}

std::string hostPath(const std::string &path)
{
    return hostRunsUnderWine() ? "Z:" + path : path;
}

CardScenario::CardScenario()
    : dir(makeTempDir()), moduleDir(env("QUORVANTA_TESTTOKEN_MODULE_DIR"))
{
    // Under Wine the host's %TEMP% is the prefix's own; the harness names it.
    if (const char *wineTemp = std::getenv("QUORVANTA_HOST_TEMP_DIR"))
        hostTempDir = wineTemp;
    else
        hostTempDir = dir;
    writeFile(hostTempDir + "/quorvanta-chrome-extension.log", "");
    setDialogScript({});
}

CardScenario::~CardScenario()
{
    std::remove((hostTempDir + "/quorvanta-chrome-extension.log").c_str());
    if (!std::getenv("QUORVANTA_KEEP_SCENARIOS")) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

std::string CardScenario::emptyDir()
{
    const std::string empty = dir + "/no-module";
    mkdir(empty.c_str(), 0700);
    return empty;
}

void CardScenario::setFixture(const std::string &text)
{
    writeFile(dir + "/fixture.txt", "journal " + hostPath(dir + "/token-journal.txt") + "\n" + text);
}

void CardScenario::setDialogScript(const std::vector<std::string> &answers)
{
    std::string text;
    for (const std::string &answer : answers) text += answer + "\n";
    writeFile(dir + "/dialog-script.txt", text);
}

HostRun CardScenario::run(const std::string &input, int timeoutSeconds)
{
    std::map<std::string, std::string> extra = {
        {"QUORVANTA_TESTTOKEN_FIXTURE", hostPath(dir + "/fixture.txt")},
        {"QUORVANTA_DIALOG_SCRIPT", hostPath(dir + "/dialog-script.txt")},
        {"QUORVANTA_DIALOG_JOURNAL", hostPath(dir + "/dialog-journal.txt")},
        {"XDG_CONFIG_HOME", dir + "/config"},
    };
    extra.insert(moduleEnv.begin(), moduleEnv.end());
    if (hostRunsUnderWine()) {
        extra["WINEPATH"] = "Z:" + moduleDir;
    } else {
        extra["LD_LIBRARY_PATH"] = moduleDir;
        extra["TEMP"] = hostTempDir;
    }
    return runHost(input, extra, timeoutSeconds);
}

std::vector<std::string> CardScenario::dialogs() const { return readLines(dir + "/dialog-journal.txt"); }

std::vector<std::string> CardScenario::tokenJournal() const
{
    return readLines(dir + "/token-journal.txt");
}

std::vector<std::string> CardScenario::tokenCalls(const std::string &prefix) const
{
    std::vector<std::string> calls;
    for (const std::string &line : tokenJournal())
        if (line.compare(0, prefix.size(), prefix) == 0) calls.push_back(line);
    return calls;
}

std::string CardScenario::log() const
{
    std::string text = readFile(hostTempDir + "/quorvanta-chrome-extension.log");
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

std::string CardScenario::pkiPath(const std::string &name)
{
    return env("QUORVANTA_TEST_PKI_DIR") + "/" + name;
}

std::string CardScenario::pkiFile(const std::string &name) { return hostPath(pkiPath(name)); }

std::string CardScenario::certificateHex(const std::string &name)
{
    const std::string der = readFile(pkiPath(name + ".der"));
    if (der.empty()) throw std::runtime_error("no certificate " + name);
    return hexOfBytes(std::vector<unsigned char>(der.begin(), der.end()));
}

std::string CardScenario::freshOrigin(const std::string &label)
{
    static std::atomic<int> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return "https://" + label + "-" + std::to_string(getpid()) + "-" + std::to_string(now % 1000000007)
           + "-" + std::to_string(counter++) + ".example.lv";
}

std::string tokenSlot(int id, const std::vector<std::string> &certificates, const std::string &extra)
{
    std::string text = "slot " + std::to_string(id) + "\nlabel Card " + std::to_string(id) + "\n" + extra;
    int objectId = 1;
    for (const std::string &name : certificates) {
        const std::string hexId = "0" + std::to_string(objectId++);
        text += "object cert " + CardScenario::pkiFile(name + ".der") + " id " + hexId + "\n";
        text += "object key " + CardScenario::pkiFile(name + ".key.pem") + " id " + hexId + "\n";
    }
    return text;
}

std::vector<unsigned char> bytesOfHex(const std::string &hex)
{
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hexOfBytes(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string verifySignature(const std::string &certificateName, const std::vector<unsigned char> &hash,
                            const std::vector<unsigned char> &signature)
{
    const std::string der = readFile(CardScenario::pkiPath(certificateName + ".der"));
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, long(der.size())));
    if (!cert) return "certificate does not parse";
    std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(cert.get()));
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return "no verify context";

    std::vector<unsigned char> sig = signature;
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA) {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        const EVP_MD *md = nullptr;
        switch (hash.size()) {
        case 20: md = EVP_sha1(); break;
        case 28: md = EVP_sha224(); break;
        case 32: md = EVP_sha256(); break;
        case 48: md = EVP_sha384(); break;
        case 64: md = EVP_sha512(); break;
        default: break; // 36 bytes: signed without a DigestInfo
        }
        if (md) EVP_PKEY_CTX_set_signature_md(ctx.get(), md);
    } else {
        // r||s to DER.
        const std::size_t half = sig.size() / 2;
        ECDSA_SIG *ecdsa = ECDSA_SIG_new();
        ECDSA_SIG_set0(ecdsa, BN_bin2bn(sig.data(), int(half), nullptr),
                       BN_bin2bn(sig.data() + half, int(half), nullptr));
        unsigned char *out = nullptr;
        const int length = i2d_ECDSA_SIG(ecdsa, &out);
        ECDSA_SIG_free(ecdsa);
        if (length <= 0) return "cannot encode r||s";
        sig.assign(out, out + length);
        OPENSSL_free(out);
    }
    if (EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) != 1)
        return "signature does not verify";
    return "";
}

std::string member(const std::string &responseText, const std::string &name)
{
    const std::string key = "\"" + name + "\": \"";
    const std::size_t start = responseText.find(key);
    if (start == std::string::npos) return "";
    const std::size_t from = start + key.size();
    const std::size_t end = responseText.find('"', from);
    return responseText.substr(from, end - from);
}

} // namespace hosttest
