// Tests of the Linux consent file: round trips, case-insensitive origin names,
// the file's format and modes, damaged files, origins with any bytes, stores
// that cannot be created or written, and many processes granting at once.
// Each test gets its own $XDG_CONFIG_HOME under a fresh temporary directory.
#include "consentcheck.h"
#include "consentstore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void setEnvironment(const char *name, const std::optional<std::string> &value)
{
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
}

const char *const Header =
    "# Quorvanta Token Signing: certificate consents, one site per line.\n"
    "# <valid until, seconds since 1970 UTC> TAB <the same time, UTC> TAB <origin>\n";

class ConsentFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedXdg = environment("XDG_CONFIG_HOME");
        savedHome = environment("HOME");
        savedTemp = environment("TEMP");
        std::string pattern = (fs::temp_directory_path() / "consent-store-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        setEnvironment("XDG_CONFIG_HOME", (root / "config").string());
        setEnvironment("HOME", (root / "home").string());
        // No log file there: the host's log stays off.
        setEnvironment("TEMP", root.string());
    }

    void TearDown() override
    {
        setEnvironment("XDG_CONFIG_HOME", savedXdg);
        setEnvironment("HOME", savedHome);
        setEnvironment("TEMP", savedTemp);
        // Tests take permissions away; give them back so everything can go.
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(root, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored)) fs::permissions(it->path(), fs::perms::owner_all, ignored);
        }
        fs::remove_all(root, ignored);
    }

    fs::path storeDirectory() const { return root / "config" / "quorvanta"; }
    fs::path storeFile() const { return storeDirectory() / "consents"; }

    static void grant(const std::string &origin, std::int64_t until)
    {
        openConsentStore()->writeConsent(origin, until);
    }
    static std::int64_t consent(const std::string &origin) { return openConsentStore()->readConsent(origin); }

    void replaceFile(const std::string &content) const
    {
        fs::create_directories(storeDirectory());
        fs::permissions(storeDirectory(), fs::perms::owner_all);
        std::ofstream(storeFile(), std::ios::binary | std::ios::trunc) << content;
        fs::permissions(storeFile(), fs::perms::owner_read | fs::perms::owner_write);
    }

    // The host's log, switched on in the test's TEMP.
    fs::path logFile() const { return root / "quorvanta-chrome-extension.log"; }
    std::string logText() const
    {
        std::ifstream file(logFile(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string fileText() const
    {
        std::ifstream file(storeFile(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::vector<std::string> entryLines() const
    {
        std::vector<std::string> lines;
        std::istringstream text(fileText());
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line[0] != '#') lines.push_back(line);
        }
        return lines;
    }

    static bool runningAsRoot() { return geteuid() == 0; }

    fs::path root;

private:
    std::optional<std::string> savedXdg;
    std::optional<std::string> savedHome;
    std::optional<std::string> savedTemp;
};

// Expects a std::system_error whose text names what failed.
template <typename Call>
void expectSystemError(Call call, int code, const std::string &messageStart)
{
    try {
        call();
        ADD_FAILURE() << "no error; expected " << messageStart;
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), code) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(messageStart, 0), 0u) << e.what();
    }
}

TEST_F(ConsentFileTest, RoundTripKeepsEveryEntry)
{
    const std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    const std::int64_t smallest = std::numeric_limits<std::int64_t>::min();
    grant("https://a.example", 1711843200);
    grant("https://b.example", largest);
    grant("https://c.example", smallest);
    EXPECT_EQ(consent("https://a.example"), 1711843200);
    EXPECT_EQ(consent("https://b.example"), largest);
    EXPECT_EQ(consent("https://c.example"), smallest);
    EXPECT_EQ(consent("https://unknown.example"), 0);

    grant("https://a.example", 1711929600);
    EXPECT_EQ(consent("https://a.example"), 1711929600);
    EXPECT_EQ(consent("https://b.example"), largest);
    EXPECT_EQ(entryLines().size(), 3u);
}

TEST_F(ConsentFileTest, OriginNamesCompareIgnoringAsciiCase)
{
    struct Row {
        const char *written;
        const char *asked;
        bool same;
    };
    const Row rows[] = {
        {"https://Example.COM", "https://example.com", true},
        {"HTTPS://WWW.SITE.LV", "https://www.site.lv", true},
        {"https://site.lv", "https://site.lv:8443", false},
        {"https://site.lv", "https://site.lv/", false},
        // Only ASCII letters fold: "ā" and "Ā" stay different names.
        {"https://\xc4\x81.lv", "https://\xc4\x80.lv", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.written) + " / " + row.asked);
        fs::remove_all(storeDirectory());
        grant(row.written, 777);
        EXPECT_EQ(consent(row.asked), row.same ? 777 : 0);
        // Granting under the other spelling replaces the entry only when it is the same name.
        grant(row.asked, 888);
        EXPECT_EQ(consent(row.written), row.same ? 888 : 777);
        EXPECT_EQ(entryLines().size(), row.same ? 1u : 2u);
    }
}

TEST_F(ConsentFileTest, FileIsReadablePrivateAndReplacedWhole)
{
    const mode_t savedMask = umask(0);
    grant("https://example.com", 1711843200);
    grant("https://second.example", -86400);
    umask(savedMask);

    struct stat status {};
    ASSERT_EQ(stat(storeDirectory().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(storeFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(fileText(), std::string(Header)
                              + "1711843200\t2024-03-31T00:00:00Z\thttps://example.com\n"
                                "-86400\t1969-12-31T00:00:00Z\thttps://second.example\n");
    EXPECT_FALSE(fs::exists(storeDirectory() / "consents.new"));

    // A stale temporary file does not survive a grant, nor its mode.
    std::ofstream(storeDirectory() / "consents.new") << "left over";
    chmod((storeDirectory() / "consents.new").c_str(), 0666);
    grant("https://third.example", 1);
    ASSERT_EQ(stat(storeFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(storeDirectory() / "consents.new"));
    EXPECT_EQ(consent("https://example.com"), 1711843200);
}

TEST_F(ConsentFileTest, DamagedFilesCountAsAbsentAndKeepGoodLines)
{
    const std::string good = "100\t1970-01-01T00:01:40Z\thttps://good.lv\n";
    struct Row {
        const char *name;
        std::string content;
        std::string origin;
        std::int64_t expected;
    };
    const std::string bad = "https://bad.lv";
    const std::vector<Row> rows = {
        {"binary junk", std::string("\x00\xff\xfe\x01junk\x00\x80", 10) + "\n" + good, bad, 0},
        {"value is not a number", good + "abc\t-\thttps://bad.lv\n", bad, 0},
        {"number with trailing text", "12x\t-\thttps://bad.lv\n" + good, bad, 0},
        {"number out of range", "99999999999999999999\t-\thttps://bad.lv\n" + good, bad, 0},
        {"number with a plus sign", "+12\t-\thttps://bad.lv\n" + good, bad, 0},
        {"empty number", "\t-\thttps://bad.lv\n" + good, bad, 0},
        {"two fields", "100\thttps://bad.lv\n" + good, bad, 0},
        {"four fields", "100\t-\thttps://bad.lv\textra\n" + good, bad, 0},
        {"unknown escape", "100\t-\thttps://bad\\q.lv\n" + good, "https://bad\\q.lv", 0},
        {"cut-off escape", "100\t-\thttps://bad.lv\\x4\n" + good, "https://bad.lv\x04", 0},
        {"raw space in the origin", "100\t-\thttps://bad .lv\n" + good, "https://bad .lv", 0},
        {"raw NUL in the origin", good + std::string("100\t-\thttps://bad.lv\0\n", 22),
         std::string("https://bad.lv\0", 15), 0},
        // The cut-off line might name a shorter, different site.
        {"last line without newline", good + "100\t-\thttps://bad.lv", bad, 0},
        {"overlong line", good + std::string(1 << 20, '7') + "\t-\thttps://bad.lv\n" + good, bad, 0},
        {"huge file without newline", good + std::string(8 << 20, 'A'), bad, 0},
        {"comments, blank lines and CRLF", "# note\n\n" + good + "200\t-\thttps://bad.lv\r\n", bad, 200},
        {"several lines for one origin: the last counts",
         "1\t-\thttps://bad.lv\n" + good + "300\t-\thttps://BAD.lv\n" + good, bad, 300},
        {"readable time is ignored", good + "300\tnonsense\thttps://bad.lv\n", bad, 300},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        replaceFile(row.content);
        EXPECT_EQ(consent(row.origin), row.expected);
        EXPECT_EQ(consent("https://good.lv"), 100);

        // The next grant replaces what could not be read and keeps the rest.
        grant(row.origin, 500);
        EXPECT_EQ(consent(row.origin), 500);
        EXPECT_EQ(consent("https://good.lv"), 100);
        EXPECT_EQ(entryLines().size(), 2u) << fileText().substr(0, 400);
    }
}

TEST_F(ConsentFileTest, OriginsWithAnyBytesRoundTripAndCannotForgeLines)
{
    const std::vector<std::string> origins = {
        "https://a\nb.lv",
        "https://a\tb.lv",
        "https://a\\b.lv",
        "https://a\\x41.lv",  // a literal backslash-x, not an escape
        "https://aA.lv",
        "https://a b.lv",
        "https://a\r",
        "https://\x7f",
        "https://\xc4\x81\xd0\xb6\xf0\x9f\x94\x91.lv",  // UTF-8 up to four bytes
        "#https://comment-like.lv",
        "https://forged.lv\n9223372036854775807\t-\thttps://bank.lv",
    };
    std::int64_t until = 1000;
    for (const std::string &origin : origins) grant(origin, until++);

    until = 1000;
    for (const std::string &origin : origins) EXPECT_EQ(consent(origin), until++) << origin;
    EXPECT_EQ(consent("https://bank.lv"), 0);
    EXPECT_EQ(consent("https://a"), 0);

    const std::vector<std::string> lines = entryLines();
    ASSERT_EQ(lines.size(), origins.size());
    for (const std::string &line : lines) {
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 2) << line;
        for (unsigned char c : line) EXPECT_TRUE(c == '\t' || (c >= ' ' && c < 0x7F)) << line;
    }
}

TEST_F(ConsentFileTest, OriginsThatAreNotUtf8OrTooLongAreRefused)
{
    const auto store = openConsentStore();
    for (const std::string origin : {"https://\xff.lv", "https://\xc4", "https://\xed\xa0\x80.lv"}) {
        SCOPED_TRACE(origin);
        try {
            store->readConsent(origin);
            ADD_FAILURE() << "read accepted it";
        } catch (const std::range_error &e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
        EXPECT_THROW(store->writeConsent(origin, 1), std::range_error);
    }

    const std::string longest = "https://" + std::string(16383 - 8, 'x');
    store->writeConsent(longest, 42);
    EXPECT_EQ(store->readConsent(longest), 42);
    const std::string tooLong = longest + "x";
    expectSystemError([&] { store->writeConsent(tooLong, 42); }, ENAMETOOLONG,
                      "Cannot write consent store " + storeFile().string());
    EXPECT_EQ(store->readConsent(tooLong), 0);
}

TEST_F(ConsentFileTest, ConfigDirectoryComesFromXdgElseHome)
{
    struct Row {
        const char *name;
        std::optional<std::string> xdg;
        std::optional<std::string> home;
        fs::path expected;
    };
    const std::vector<Row> rows = {
        {"XDG_CONFIG_HOME", (root / "x").string(), (root / "h").string(), root / "x/quorvanta/consents"},
        {"no XDG_CONFIG_HOME", std::nullopt, (root / "h").string(), root / "h/.config/quorvanta/consents"},
        {"empty XDG_CONFIG_HOME", std::string(), (root / "h").string(),
         root / "h/.config/quorvanta/consents"},
        {"relative XDG_CONFIG_HOME", std::string("relative"), (root / "h").string(),
         root / "h/.config/quorvanta/consents"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root / "x");
        fs::remove_all(root / "h");
        setEnvironment("XDG_CONFIG_HOME", row.xdg);
        setEnvironment("HOME", row.home);
        grant("https://example.com", 5);
        EXPECT_TRUE(fs::is_regular_file(row.expected));
        EXPECT_EQ(consent("https://example.com"), 5);
    }
}

TEST_F(ConsentFileTest, StoreThatCannotBeCreatedFails)
{
    // A parent that is a regular file stops even root.
    std::ofstream(root / "plain-file") << "x";
    setEnvironment("XDG_CONFIG_HOME", (root / "plain-file" / "config").string());
    expectSystemError([] { openConsentStore(); }, ENOTDIR,
                      "Cannot create consent store " + (root / "plain-file/config/quorvanta").string());

    for (const std::optional<std::string> &home : {std::optional<std::string>(), std::optional<std::string>("")}) {
        setEnvironment("XDG_CONFIG_HOME", std::nullopt);
        setEnvironment("HOME", home);
        expectSystemError([] { openConsentStore(); }, ENOENT, "Cannot create consent store");
    }
}

TEST_F(ConsentFileTest, UnwritableDirectoryFails)
{
    if (runningAsRoot()) GTEST_SKIP() << "root writes into a mode 0500 directory anyway";
    grant("https://example.com", 9);
    ASSERT_EQ(chmod(storeDirectory().c_str(), 0500), 0);
    expectSystemError([] { openConsentStore(); }, EACCES,
                      "Cannot create consent store " + storeDirectory().string());

    // Losing write access after opening fails at the write.
    ASSERT_EQ(chmod(storeDirectory().c_str(), 0700), 0);
    const auto store = openConsentStore();
    ASSERT_EQ(chmod(storeDirectory().c_str(), 0500), 0);
    expectSystemError([&] { store->writeConsent("https://other.example", 1); }, EACCES,
                      "Cannot write consent store " + storeFile().string());
    EXPECT_EQ(store->readConsent("https://example.com"), 9);
}

TEST_F(ConsentFileTest, FailedWritesKeepTheOldFile)
{
    grant("https://example.com", 9);

    // Works as root too: the temporary file's name is taken by a directory.
    fs::create_directory(storeDirectory() / "consents.new");
    expectSystemError([] { grant("https://other.example", 1); }, EISDIR,
                      "Cannot write consent store " + storeFile().string());
    EXPECT_EQ(consent("https://example.com"), 9);
    EXPECT_EQ(consent("https://other.example"), 0);
    fs::remove(storeDirectory() / "consents.new");

    // A store file that cannot be read is not overwritten (its entries would be lost).
    if (runningAsRoot()) GTEST_SKIP() << "root reads a mode 0200 file anyway";
    fs::permissions(storeFile(), fs::perms::owner_write);
    EXPECT_EQ(consent("https://example.com"), 0);
    expectSystemError([] { grant("https://other.example", 1); }, EACCES,
                      "Cannot read consent store " + storeFile().string());
}

// What is at the store's paths when it is not the user's own regular file:
// the store is then ignored (no consent read, none written, one log line
// saying why), and nothing there makes the host wait. Left-over temporary
// files of any kind are replaced.
TEST_F(ConsentFileTest, StoresThatAreNotTheUsersOwnFilesAreIgnored)
{
    const std::string origin = "https://example.com";
    // Each replaces what is at the path.
    const auto fifo = [](const fs::path &path) {
        fs::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    };
    const auto link = [](const char *target) {
        return [target](const fs::path &path) {
            fs::remove(path);
            fs::create_symlink(target, path);
        };
    };
    const auto mode = [](fs::perms perms) {
        return [perms](const fs::path &path) { fs::permissions(path, perms); };
    };
    using P = fs::perms;
    const P privateFile = P::owner_read | P::owner_write;
    struct Row {
        const char *what;
        const char *name; // in the store directory; "" is the directory itself
        std::function<void(const fs::path &)> make;
        const char *reason; // in the log line; null: the store is used
    };
    const Row rows[] = {
        {"a FIFO as the file", "consents", fifo, "consents is not a regular file"},
        {"a link to /dev/zero as the file", "consents", link("/dev/zero"), "consents is a symbolic link"},
        {"a link to a good file", "consents", link("elsewhere"), "consents is a symbolic link"},
        {"a directory as the file", "consents",
         [](const fs::path &p) {
             fs::remove(p);
             fs::create_directory(p);
         },
         "consents is not a regular file"},
        {"a FIFO as the lock", "consents.lock", fifo, "consents.lock is not a regular file"},
        {"a link to /dev/zero as the lock", "consents.lock", link("/dev/zero"),
         "consents.lock is a symbolic link"},
        {"a group-writable file", "consents", mode(privateFile | P::group_write),
         "consents can be written by group or others"},
        {"an others-writable lock", "consents.lock", mode(privateFile | P::others_write),
         "consents.lock can be written by group or others"},
        {"a group-writable directory", "", mode(P::owner_all | P::group_all), "can be written by group or others"},
        {"an others-writable directory", "", mode(P::owner_all | P::others_all), "can be written by group or others"},
        {"a FIFO as the temporary file", "consents.new", fifo, nullptr},
        {"a link to /dev/zero as the temporary file", "consents.new", link("/dev/zero"), nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(storeDirectory());
        grant(origin, 7);
        std::ofstream(storeDirectory() / "elsewhere") << "1000\t-\t" << origin << "\n";
        row.make(storeDirectory() / row.name);
        std::ofstream(logFile()).flush();

        EXPECT_EQ(consent(origin), row.reason ? 0 : 7);
        grant(origin, 9);
        EXPECT_EQ(consent(origin), row.reason ? 0 : 9);
        const std::string log = logText();
        const std::string named = *row.name ? "" : storeDirectory().string() + " ";
        if (row.reason) EXPECT_NE(log.find("is ignored: " + named + row.reason), std::string::npos) << log;
        else EXPECT_EQ(log.find("is ignored"), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(storeDirectory() / "consents.new"));
        fs::remove(logFile());
        fs::permissions(storeDirectory(), fs::perms::owner_all);
    }
}

// A folder or file that another user made, under a configuration folder
// that user can write to, is ignored. Run as an ordinary user, with the
// store's parts made by root.
TEST_F(ConsentFileTest, StoresOfAnotherUserAreIgnored)
{
    if (!runningAsRoot()) GTEST_SKIP() << "needs root to make files of another user";
    constexpr uid_t user = 65534;
    const std::string origin = "https://example.com";
    struct Row {
        const char *what;
        bool directoryOfRoot; // else the file is root's, in the user's directory
    };
    const Row rows[] = {{"root's directory", true}, {"root's file", false}};
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(root / "config");
        replaceFile("4102444800\t-\t" + origin + "\n");
        ASSERT_EQ(chown((root / "config").c_str(), user, user), 0);
        ASSERT_EQ(chown(storeDirectory().c_str(), row.directoryOfRoot ? 0 : user, user), 0);
        ASSERT_EQ(chmod(storeDirectory().c_str(), 0755), 0);
        ASSERT_EQ(chmod(storeFile().c_str(), 0644), 0);
        std::ofstream(logFile()).flush();
        ASSERT_EQ(chown(logFile().c_str(), user, user), 0);

        // Exit code: 1 when a consent was read, 2 when the grant failed.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0) _exit(255);
            int result = 0;
            try {
                if (consent(origin) != 0) result |= 1;
                grant(origin, 5);
                if (consent(origin) != 0) result |= 1;
            } catch (...) {
                result |= 2;
            }
            _exit(result);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(entryLines(), std::vector<std::string>{"4102444800\t-\t" + origin});
        const std::string owned = row.directoryOfRoot ? storeDirectory().string() : "consents";
        EXPECT_NE(logText().find("is ignored: " + owned + " belongs to another user"), std::string::npos)
            << logText();
        fs::remove(logFile());
    }
}

TEST_F(ConsentFileTest, ConcurrentGrantsLoseNothing)
{
    constexpr int Children = 16;
    constexpr int OriginsPerChild = 20;
    const auto origin = [](int child, int index) {
        return "https://child" + std::to_string(child) + "-" + std::to_string(index) + ".example";
    };

    // Children wait on the pipe until the parent closes it, so they start together.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < Children; ++child) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {}
            int status = 0;
            try {
                for (int index = 0; index < OriginsPerChild; ++index) {
                    grant(origin(child, index), child * 1000 + index);
                    if (index % 4 == 0) grant("https://shared.example", child);
                }
            } catch (...) {
                status = 1;
            }
            _exit(status);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
    }

    const auto store = openConsentStore();
    int missing = 0;
    for (int child = 0; child < Children; ++child) {
        for (int index = 0; index < OriginsPerChild; ++index) {
            if (store->readConsent(origin(child, index)) != child * 1000 + index) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
    const std::int64_t shared = store->readConsent("https://shared.example");
    EXPECT_TRUE(shared >= 0 && shared < Children) << shared;
    EXPECT_EQ(entryLines().size(), std::size_t(Children * OriginsPerChild + 1));
    EXPECT_FALSE(fs::exists(storeDirectory() / "consents.new"));
}

TEST_F(ConsentFileTest, ConsentCheckUsesTheFileStore)
{
    // The home domain never creates the store.
    checkConsent("https://www.quorvanta.lv");
    EXPECT_FALSE(fs::exists(storeDirectory()));

    // A stored consent that has not run out answers without a dialog.
    grant("https://example.com", std::numeric_limits<std::int64_t>::max());
    checkConsent("https://EXAMPLE.com");
    EXPECT_EQ(entryLines().size(), 1u);
}

} // namespace
