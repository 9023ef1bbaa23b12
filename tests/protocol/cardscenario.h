// A card, a dialog script and a private consent store for one host run: the
// test token's fixture, the scripted dialogs' answers, and readers for what
// the token and the dialogs recorded.
#pragma once

#include "hostprocess.h"

#include <map>
#include <string>
#include <vector>

namespace hosttest {

class CardScenario {
public:
    // A fresh directory for this scenario's files.
    CardScenario();
    ~CardScenario();

    // The fixture text of the test token (journal line added here). Use
    // pkiFile() for certificates and keys.
    void setFixture(const std::string &text);
    // Dialog answers, one per line: "consent yes", "pin 1234", ...
    void setDialogScript(const std::vector<std::string> &answers);
    // Starts the host with no module on its search path.
    void withoutModule() { moduleDir = emptyDir(); }
    // Starts the host with the module of this directory and these variables.
    void withModule(const std::string &dir, const std::map<std::string, std::string> &env)
    {
        moduleDir = dir;
        moduleEnv = env;
    }

    HostRun run(const std::string &input, int timeoutSeconds = 120);

    std::vector<std::string> dialogs() const;           // one line per dialog shown
    std::vector<std::string> tokenJournal() const;      // one line per notable call
    std::vector<std::string> tokenCalls(const std::string &prefix) const;
    std::string log() const;                            // the host's diagnostic log

    // A file of the test PKI, named as the host will see it.
    static std::string pkiFile(const std::string &name);
    // A certificate's DER bytes as the host writes them: upper-case hex.
    static std::string certificateHex(const std::string &name);
    static std::string pkiPath(const std::string &name); // as this process sees it

    // An origin no earlier run has given consent for.
    static std::string freshOrigin(const std::string &label);

private:
    std::string emptyDir();

    std::string dir;
    std::string moduleDir;
    std::map<std::string, std::string> moduleEnv;
    std::string hostTempDir;
};

// A test token slot holding these PKI certificates, each with its key under
// CKA_ID 01, 02, ..., followed by any further fixture lines.
std::string tokenSlot(int id, const std::vector<std::string> &certificates,
                      const std::string &extra = "");

bool hostRunsUnderWine();
// A path of this machine as the host sees it (Z:... under Wine).
std::string hostPath(const std::string &path);

// Verifies a signature made over `hash` with the certificate's key: RSA
// PKCS#1 v1.5 with the DigestInfo for the hash size (none for 36 bytes), EC
// r||s. Returns an empty text when it verifies, else the reason.
std::string verifySignature(const std::string &certificateName, const std::vector<unsigned char> &hash,
                            const std::vector<unsigned char> &signature);

std::vector<unsigned char> bytesOfHex(const std::string &hex);
std::string hexOfBytes(const std::vector<unsigned char> &bytes);

// The value of a string member in a response text, or "" when absent.
std::string member(const std::string &responseText, const std::string &name);

} // namespace hosttest
