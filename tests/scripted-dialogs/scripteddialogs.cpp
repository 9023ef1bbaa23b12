// Dialogs for the test build of the host: a script answers them instead of a
// person. QUORVANTA_DIALOG_SCRIPT names a text file with one answer per line,
// taken in order by the dialogs of this process:
//   consent yes | consent no | pin <digits> | pin cancel | fail <message>
// "fail" stands for a dialog framework that cannot start. A missing script, an
// exhausted one or an answer of the wrong kind fails the dialog; nothing is
// ever invented. QUORVANTA_DIALOG_JOURNAL names a file that gets one line per
// dialog shown, with everything the dialog was given except the PIN.
#include "dialogmanager.h"
#include "errors.h"
#include "log.h"
#include "securestring.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const char *const noAnswer = "No dialog script answer";

// Answers already used from the script in use. The script is read afresh for
// every dialog, so a test may append answers while the host runs; naming
// another script starts again from its first answer.
std::size_t answersUsed = 0;
std::string scriptInUse;

// The next answer line, without its line end; throws when there is none.
std::string nextAnswer()
{
    const char *path = std::getenv("QUORVANTA_DIALOG_SCRIPT");
    if (!path || !*path) throw TechnicalException(noAnswer);
    if (scriptInUse != path) {
        scriptInUse = path;
        answersUsed = 0;
    }
    std::ifstream script(path, std::ios::binary);
    if (!script) throw TechnicalException(noAnswer);
    std::string line;
    std::size_t index = 0;
    while (std::getline(script, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (index++ == answersUsed) {
            ++answersUsed;
            return line;
        }
    }
    throw TechnicalException(noAnswer);
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A "fail" answer ends any dialog the way a framework start-up failure does.
void failIfAsked(const std::string &answer)
{
    if (startsWith(answer, "fail ")) {
        const std::string message = answer.substr(5);
        writeLog("initializeMFC", __FILE__, __LINE__, "%s", message.c_str());
        throw TechnicalException(message);
    }
}

void journal(const std::string &entry)
{
    const char *path = std::getenv("QUORVANTA_DIALOG_JOURNAL");
    if (!path || !*path) return;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << entry << '\n';
}

bool allDigits(const std::string &text, std::size_t from)
{
    for (std::size_t i = from; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

} // namespace

SecureString DialogManager::getPin(const std::string &origin, const std::string &holderName,
                                   const std::string &personalCode, const std::string &validTo,
                                   const std::string &pinName, int batchCount, bool isAuth,
                                   bool isJwt, int triesLeft, bool wrongPin, int minPinLength,
                                   int maxPinLength)
{
    QLOG("Showing pin entry dialog");
    std::string answer = nextAnswer();
    failIfAsked(answer);
    if (!startsWith(answer, "pin ")) throw TechnicalException(noAnswer);
    QLOG("Parent window handle %i", 0);

    journal("pin origin=" + origin + " holderName=" + holderName + " personalCode="
            + personalCode + " validTo=" + validTo + " pinName=" + pinName
            + " batchCount=" + std::to_string(batchCount) + " isAuth=" + (isAuth ? "1" : "0")
            + " isJwt=" + (isJwt ? "1" : "0") + " triesLeft=" + std::to_string(triesLeft)
            + " wrongPin=" + (wrongPin ? "1" : "0") + " minPinLength="
            + std::to_string(minPinLength) + " maxPinLength=" + std::to_string(maxPinLength));

    // The answer holds the PIN: it is looked at in place and wiped after use.
    if (answer.compare(4, std::string::npos, "cancel") == 0) {
        QLOG("User cancelled");
        throw UserCancelledException();
    }
    if (!allDigits(answer, 4)) {
        secureWipe(&answer[0], answer.size());
        throw TechnicalException(noAnswer);
    }
    SecureString pin(answer.data() + 4, answer.size() - 4);
    secureWipe(&answer[0], answer.size());
    return pin;
}

bool DialogManager::getCertificateConsent(const std::string &origin)
{
    QLOG("Showing cert consent dialog");
    const std::string answer = nextAnswer();
    failIfAsked(answer);
    if (answer != "consent yes" && answer != "consent no") throw TechnicalException(noAnswer);
    QLOG("Parent window handle %i", 0);
    journal("consent origin=" + origin);
    return answer == "consent yes";
}
