// The Linux log file: appended to only when it is a regular file of the
// current user, with no other link, that the user can both read and write.
// Root may open any file, so when the tests run as root each check runs in a
// child process that has become an ordinary user.
#include "logfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The user the checks run as when the tests run as root.
constexpr uid_t ordinaryUser = 65534;

struct LogFileCase {
    const char *what;
    mode_t mode;      // 0: no regular file is made
    bool ownedByUser; // false: the file belongs to another user (root only)
    char link;        // 's' or 'h': the log path is a symbolic or hard link to such a file
    bool expectOpen;
};

const LogFileCase cases[] = {
    {"readable and writable", 0600, true, 0, true},
    {"write-only", 0200, true, 0, false},
    {"read-only", 0400, true, 0, false},
    {"a link to a good file", 0600, true, 's', false},
    {"a hard link to a good file", 0600, true, 'h', false},
    {"someone else's file", 0666, false, 0, false},
    {"absent", 0, true, 0, false},
};

class LinuxLogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        asRoot = geteuid() == 0;
        user = asRoot ? ordinaryUser : geteuid();
        char pattern[] = "/tmp/quorvanta-logfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        ASSERT_EQ(chmod(base.c_str(), 0755), 0);
    }
    void TearDown() override
    {
        for (const std::string &path : made) std::remove(path.c_str());
        for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) rmdir(it->c_str());
        rmdir(base.c_str());
    }

    // A directory of its own for the case, holding the log file as described.
    std::string prepare(const LogFileCase &c, std::size_t index)
    {
        const std::string dir = base + "/" + std::to_string(index);
        mkdir(dir.c_str(), 0755);
        dirs.push_back(dir);
        const std::string log = dir + "/quorvanta-chrome-extension.log";
        if (c.mode == 0) return dir;
        const std::string file = c.link ? dir + "/target.log" : log;
        const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
        EXPECT_GE(fd, 0);
        close(fd);
        made.push_back(file);
        EXPECT_EQ(chown(file.c_str(), c.ownedByUser ? user : 0, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(chmod(file.c_str(), c.mode), 0);
        if (c.link) {
            EXPECT_EQ(c.link == 's' ? symlink(file.c_str(), log.c_str()) : link(file.c_str(), log.c_str()), 0);
            made.push_back(log);
        }
        return dir;
    }

    bool asRoot = false;
    uid_t user = 0;
    std::string base;
    std::vector<std::string> dirs, made;
};

TEST_F(LinuxLogFile, OnlyAReadableWritableRegularFileOfTheUserIsAppendedTo)
{
    std::vector<std::string> temps;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        if (!cases[i].ownedByUser && !asRoot) continue; // no other owner can be made
        temps.push_back(prepare(cases[i], i));
    }

    // The child opens each case's log file and reports, one bit per case,
    // which ones it got.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (asRoot && (setgid(ordinaryUser) != 0 || setuid(ordinaryUser) != 0)) _exit(255);
        int opened = 0;
        std::size_t t = 0;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            if (!cases[i].ownedByUser && !asRoot) continue;
            setenv("TEMP", temps[t++].c_str(), 1);
            if (std::FILE *file = openLogFileForAppend()) {
                opened |= 1 << i;
                std::fclose(file);
            }
        }
        _exit(opened);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255) << "could not become an ordinary user";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        if (!cases[i].ownedByUser && !asRoot) continue;
        EXPECT_EQ((WEXITSTATUS(status) >> i & 1) != 0, cases[i].expectOpen) << cases[i].what;
    }
}

} // namespace
