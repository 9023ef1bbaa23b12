// The scripted dialogs of the test host: answers are taken in order, a wrong
// or missing answer fails the dialog instead of inventing one, and the
// journal records each dialog shown without the PIN.
#include "dialogmanager.h"
#include "errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class ScriptedDialogsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/scripted-dialogs-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        journalPath = directory + "/journal";
        setenv("QUORVANTA_DIALOG_JOURNAL", journalPath.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QUORVANTA_DIALOG_SCRIPT");
        unsetenv("QUORVANTA_DIALOG_JOURNAL");
        for (const auto &file : files) unlink(file.c_str());
        unlink(journalPath.c_str());
        rmdir(directory.c_str());
    }

    // A new script file for each use, so each starts at its first answer.
    void script(const std::string &text)
    {
        const std::string path = directory + "/script" + std::to_string(files.size());
        std::ofstream(path, std::ios::binary) << text;
        files.push_back(path);
        setenv("QUORVANTA_DIALOG_SCRIPT", path.c_str(), 1);
    }

    std::string journal()
    {
        std::ifstream in(journalPath, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    static SecureString askPin()
    {
        return DialogManager::getPin("https://a.lv", "ANNA BERZINA", "PNOLV-1", "20271231235959Z",
                                     "PIN2", 2, true, false, 1, true, 4, 12);
    }

    static std::string outcome(const std::function<std::string()> &dialog)
    {
        try {
            return dialog();
        } catch (const UserCancelledException &) {
            return "cancelled";
        } catch (const TechnicalException &e) {
            return "technical: " + e.getErrorMessage();
        }
    }
    static std::string consent()
    {
        return outcome([] { return DialogManager::getCertificateConsent("https://a.lv") ? "yes" : "no"; });
    }
    static std::string pin()
    {
        return outcome([] {
            const SecureString p = askPin();
            return "pin " + std::string(p.c_str(), p.size());
        });
    }

    std::string directory, journalPath;
    std::vector<std::string> files;
};

const char *const pinJournal =
    "pin origin=https://a.lv holderName=ANNA BERZINA personalCode=PNOLV-1 validTo=20271231235959Z "
    "pinName=PIN2 batchCount=2 isAuth=1 isJwt=0 triesLeft=1 wrongPin=1 minPinLength=4 "
    "maxPinLength=12\n";

TEST_F(ScriptedDialogsTest, AnswersInOrder)
{
    const struct {
        const char *what, *script;
        std::vector<std::function<std::string()>> dialogs;
        std::vector<std::string> outcomes;
    } cases[] = {
        {"consents", "consent yes\nconsent no\n", {consent, consent, consent},
         {"yes", "no", "technical: No dialog script answer"}},
        {"a PIN", "pin 0042\n", {pin}, {"pin 0042"}},
        {"an empty PIN", "pin \n", {pin}, {"pin "}},
        {"cancel", "pin cancel\nconsent yes\n", {pin, consent}, {"cancelled", "yes"}},
        {"wrong kind", "consent yes\npin 1234\n", {pin, consent},
         {"technical: No dialog script answer", "technical: No dialog script answer"}},
        {"not digits", "pin 12a4\n", {pin}, {"technical: No dialog script answer"}},
        {"framework failure", "fail MFC initialization failed\nfail Other\n", {pin, consent},
         {"technical: MFC initialization failed", "technical: Other"}},
        {"line ends and blank lines", "\r\nconsent yes\r\n\n\npin 77\r\n", {consent, pin},
         {"yes", "pin 77"}},
        {"unknown answer", "consent maybe\n", {consent}, {"technical: No dialog script answer"}},
    };
    for (const auto &c : cases) {
        script(c.script);
        for (std::size_t i = 0; i < c.dialogs.size(); ++i)
            EXPECT_EQ(c.dialogs[i](), c.outcomes[i]) << c.what << " dialog " << i;
    }
}

TEST_F(ScriptedDialogsTest, NoScriptNoAnswer)
{
    EXPECT_EQ(consent(), "technical: No dialog script answer");
    setenv("QUORVANTA_DIALOG_SCRIPT", (directory + "/missing").c_str(), 1);
    EXPECT_EQ(pin(), "technical: No dialog script answer");
    EXPECT_EQ(journal(), "");
}

TEST_F(ScriptedDialogsTest, JournalRecordsDialogsShownButNeverThePin)
{
    script("consent no\npin 918273\npin cancel\nfail broken\n");
    consent();
    pin();
    pin();
    consent();
    EXPECT_EQ(journal(), std::string("consent origin=https://a.lv\n") + pinJournal + pinJournal);
    EXPECT_EQ(journal().find("918273"), std::string::npos);
}

TEST_F(ScriptedDialogsTest, AnswersAppendedWhileRunningAreSeen)
{
    script("consent yes\n");
    EXPECT_EQ(consent(), "yes");
    std::ofstream(files.back(), std::ios::binary | std::ios::app) << "consent no\n";
    EXPECT_EQ(consent(), "no");
}

} // namespace
