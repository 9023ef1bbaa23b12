// Helpers shared by the card manager tests: the test PKI's files, a private
// log file to read back what the card manager logged, and environment access
// that works on both platforms.
#pragma once

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct X509Free {
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

void setEnvironment(const std::string &name, const std::string &value);
std::string environment(const std::string &name);

std::vector<unsigned char> readFile(const std::filesystem::path &path);
void writeFile(const std::filesystem::path &path, const std::string &text);

// The directory the PKI script wrote (QUORVANTA_TEST_PKI).
std::filesystem::path pkiDir();
std::set<std::string> pkiCertificateNames();
std::vector<unsigned char> pkiDer(const std::string &name);
X509Ptr loadPkiCertificate(const std::string &name);

// A fresh directory under the system's temporary directory, removed again.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
    const std::filesystem::path &path() const { return dir; }

private:
    std::filesystem::path dir;
};

// Points TEMP at a private directory holding an empty log file, so the card
// manager's log lines can be read back; restores TEMP afterwards.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void clearLog();
    // The message part of every log line ("date time function() [file:line] message").
    std::vector<std::string> logMessages() const;
    // Whole lines, for checks of the function field.
    std::vector<std::string> logLines() const;
    // Each expected message appears, in this order, among the logged messages.
    void expectLogLinesInOrder(const std::vector<std::string> &expected) const;

private:
    std::unique_ptr<TemporaryDirectory> logDir;
    std::string savedTemp;
    bool hadTemp = false;
};

// Verifies a card signature over `hash` with the certificate's public key:
// RSA PKCS#1 v1.5 with the digest that the hash length stands for (36 bytes:
// the bare data), ECDSA from the card's r||s form.
bool verifyCardSignature(const std::vector<unsigned char> &certificateDer,
                         const std::vector<unsigned char> &hash,
                         const std::vector<unsigned char> &signature);

// A hash of the given length with recognisable content.
std::vector<unsigned char> testHash(std::size_t length, unsigned char seed = 1);

// The what() of the std::runtime_error that `action` throws, or "" when none.
template <typename Action>
std::string errorText(Action action)
{
    try {
        action();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}
