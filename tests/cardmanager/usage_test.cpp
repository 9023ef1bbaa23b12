// The certificate usage rules against every certificate of the test PKI: each
// certificate's expected answers from the signing and the authentication test,
// and the log lines that explain the answers.
#include "cardmanagertest.h"

#include "pkcs11cardmanager.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

struct Usage {
    bool signing;
    bool authentication;
};

// Every certificate the PKI script writes, with the answers the rules give.
const std::map<std::string, Usage> expectedUsage = {
    {"ca", {false, false}}, // keyCertSign and cRLSign only
    {"sign-rsa", {true, false}},
    {"auth-rsa", {false, true}},
    {"sign-p256", {true, false}},
    {"auth-p256", {false, true}},
    {"sign-p384", {true, false}},
    {"auth-p384", {false, true}},
    {"demo-sign", {true, false}},
    {"demo-auth", {false, true}},
    {"usage-none", {true, false}},
    {"usage-nr", {true, false}},
    {"usage-ds", {true, false}},
    {"usage-dsnr", {true, false}},
    {"usage-ds-client", {false, true}},
    {"usage-dsnr-client", {false, true}},
    {"usage-nr-client", {false, false}},
    {"usage-ke", {false, false}},
    {"usage-ke-client", {false, false}},
    {"usage-nr-docsign", {true, false}},
    {"usage-ds-docsign-client", {true, true}},
    {"usage-nr-docsign120", {true, false}},
    {"usage-ds-server", {false, false}},
    {"usage-ds-server-client", {false, true}},
    {"usage-noku-client", {false, true}},
    {"usage-noku-docsign", {true, false}},
    {"usage-noku-server", {false, false}},
    // A flaw in an unrelated extension changes nothing.
    {"usage-nr-badski", {true, false}},
    {"usage-ds-client-badpath", {false, true}},
    {"subject-latvian", {true, false}},
    {"subject-cyrillic", {true, false}},
    {"subject-no-given", {true, false}},
    {"subject-no-surname", {true, false}},
    {"subject-no-serial", {true, false}},
    {"subject-cn-only", {true, false}},
    {"subject-long-given", {true, false}},
    {"validity-expired", {true, false}},
    {"validity-utc-2049", {true, false}},
    {"validity-gen-2050", {true, false}},
    {"validity-gen-2077", {true, false}},
    {"validity-future", {false, true}}, // not yet valid: the host does not look at validity
    {"zero-length-a", {true, false}},
    {"zero-length-b", {true, false}},
};

class UsageRules : public LoggedTest {};

TEST_F(UsageRules, EveryPkiCertificateGetsItsExpectedAnswers)
{
    const std::set<std::string> names = pkiCertificateNames();
    ASSERT_FALSE(names.empty());
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const auto expected = expectedUsage.find(name);
        ASSERT_NE(expected, expectedUsage.end()) << "no expectation for this certificate";
        X509Ptr certificate = loadPkiCertificate(name);
        ASSERT_TRUE(certificate);
        EXPECT_EQ(PKCS11CardManager::isSigningCertificate(certificate.get()),
                  expected->second.signing);
        EXPECT_EQ(PKCS11CardManager::isAuthenticationCertificate(certificate.get()),
                  expected->second.authentication);
    }
    for (const auto &entry : expectedUsage) EXPECT_EQ(names.count(entry.first), 1u) << entry.first;
}

TEST_F(UsageRules, NullCertificateCannotBeParsed)
{
    for (auto test : {&PKCS11CardManager::isSigningCertificate,
                      &PKCS11CardManager::isAuthenticationCertificate}) {
        try {
            test(nullptr);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "Could not parse cert");
        }
    }
}

struct LoggedCase {
    const char *certificate;
    bool forAuth;
    std::vector<std::string> lines; // in this order
};

TEST_F(UsageRules, LogLinesExplainTheAnswer)
{
    const LoggedCase cases[] = {
        {"usage-nr", false,
         {"Checking is signing certificate", "Cert with correct key usage"}},
        {"usage-ke", false, {"Checking is signing certificate", "Cert with wrong key usage"}},
        {"usage-nr-docsign120", false,
         {"EKU OID: 1.3.6.1.4.1.311.10.3.120", "Signing cert with correct extended key usage"}},
        {"usage-ds-server", false,
         {"EKU OID: TLS Web Server Authentication", "Cert with wrong extended key usage"}},
        {"usage-none", true,
         {"Checking is authentication certificate",
          "Checking is authentication certificate keyUsage: -1",
          "Cert without extended key usage"}},
        {"usage-nr-client", true,
         {"Checking is authentication certificate keyUsage: 64", "Cert with wrong key usage"}},
        {"usage-ds-server-client", true,
         {"EKU OID: TLS Web Server Authentication", "EKU OID: TLS Web Client Authentication",
          "Authentication cert with correct extended key usage"}},
        {"usage-ds-server", true, {"Cert with wrong extended key usage"}},
    };
    for (const LoggedCase &c : cases) {
        SCOPED_TRACE(c.certificate);
        clearLog();
        X509Ptr certificate = loadPkiCertificate(c.certificate);
        if (c.forAuth) PKCS11CardManager::isAuthenticationCertificate(certificate.get());
        else PKCS11CardManager::isSigningCertificate(certificate.get());
        expectLogLinesInOrder(c.lines);
    }
}

} // namespace
