// Tests of the consent check: when a stored consent still holds, what happens
// on confirmation and refusal, the order of the steps, the next local
// midnight (month and year ends, daylight-saving changes), the home-domain
// rule and the log lines. Clock, store and question are fakes; the time zone
// and the log directory are set by the fixture.
#include "consentcheck.h"
#include "errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace {

void setEnvironment(const char *name, const std::optional<std::string> &value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value->c_str() : "");
#else
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
#endif
}

std::optional<std::string> environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void setTimeZone(const std::optional<std::string> &zone)
{
    setEnvironment("TZ", zone);
#ifdef _WIN32
    _tzset();
#else
    tzset();
#endif
}

// Seconds since 1970 of a UTC civil time, by plain calendar arithmetic, so the
// expectations do not lean on the C library's conversions under test.
std::int64_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = std::int64_t(era) * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// What the fakes saw, in order: "open", "now", "read <origin>", "ask <origin>",
// "write <origin> <until>", "close".
struct Journal {
    std::vector<std::string> events;
    std::int64_t stored = 0;
    bool failRead = false;
    bool failWrite = false;
};

class FakeStore : public ConsentStore {
public:
    explicit FakeStore(Journal &journal) : journal(journal) {}
    ~FakeStore() override { journal.events.push_back("close"); }
    std::int64_t readConsent(const std::string &origin) override
    {
        if (journal.failRead) throw std::range_error("bad conversion");
        journal.events.push_back("read " + origin);
        return journal.stored;
    }
    void writeConsent(const std::string &origin, std::int64_t until) override
    {
        if (journal.failWrite)
            throw std::system_error(ENOSPC, std::generic_category(), "Cannot write consent store");
        journal.events.push_back("write " + origin + " " + std::to_string(until));
    }

private:
    Journal &journal;
};

// The local zone of most tests: two hours east of UTC, no daylight saving,
// written in the form both glibc and the Windows C runtime understand.
const char *const FixedZone = "QVT-2";
const std::int64_t FixedOffset = 2 * 3600;

class ConsentCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedZone = environment("TZ");
        savedTemp = environment("TEMP");
        setTimeZone(std::string(FixedZone));

        logDirectory = std::filesystem::temp_directory_path()
            / ("consentcheck-test-" + std::to_string(std::time(nullptr)) + "-"
               + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(logDirectory);
        std::ofstream(logPath()).flush();
        setEnvironment("TEMP", logDirectory.string());
    }

    void TearDown() override
    {
        setEnvironment("TEMP", savedTemp);
        setTimeZone(savedZone);
        std::error_code ignored;
        std::filesystem::remove_all(logDirectory, ignored);
    }

    std::filesystem::path logPath() const { return logDirectory / "quorvanta-chrome-extension.log"; }

    std::string logText() const
    {
        // Text mode: the Windows log ends its lines with CR LF.
        std::ifstream file(logPath());
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    ConsentContext context(bool answer)
    {
        ConsentContext result;
        result.openStore = [this] {
            journal.events.push_back("open");
            return std::make_unique<FakeStore>(journal);
        };
        result.now = [this] {
            journal.events.push_back("now");
            return now;
        };
        result.askUser = [this, answer](const std::string &origin) {
            journal.events.push_back("ask " + origin);
            return answer;
        };
        return result;
    }

    Journal journal;
    // 2024-05-14 13:45:10 local time.
    std::int64_t now = utc(2024, 5, 14, 11, 45, 10);

private:
    std::optional<std::string> savedZone;
    std::optional<std::string> savedTemp;
    std::filesystem::path logDirectory;
};

const std::string Origin = "https://example.com";

TEST_F(ConsentCheckTest, StoredTimeDecidesWhetherTheUserIsAsked)
{
    const std::int64_t next = utc(2024, 5, 15) - FixedOffset;
    const std::string granted = "write " + Origin + " " + std::to_string(next);
    struct Row {
        const char *name;
        std::int64_t stored;
        std::vector<std::string> events;
    };
    const std::int64_t n = now;
    const std::vector<Row> rows = {
        {"equal to now still holds", n, {"open", "now", "read " + Origin, "close"}},
        {"later than now holds", n + 1, {"open", "now", "read " + Origin, "close"}},
        {"one second before now has run out", n - 1,
         {"open", "now", "read " + Origin, "ask " + Origin, granted, "close"}},
        {"no entry asks", 0, {"open", "now", "read " + Origin, "ask " + Origin, granted, "close"}},
        {"negative time asks", std::numeric_limits<std::int64_t>::min(),
         {"open", "now", "read " + Origin, "ask " + Origin, granted, "close"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        journal = Journal();
        journal.stored = row.stored;
        checkConsent(Origin, context(true));
        EXPECT_EQ(journal.events, row.events);
    }
}

TEST_F(ConsentCheckTest, RefusalThrowsAndWritesNothing)
{
    try {
        checkConsent(Origin, context(false));
        FAIL() << "refusal returned normally";
    } catch (const UserCancelledException &e) {
        EXPECT_EQ(e.getErrorCode(), "user_cancel");
        EXPECT_EQ(e.getErrorMessage(), "User cancelled");
    }
    const std::vector<std::string> expected = {"open", "now", "read " + Origin, "ask " + Origin,
                                               "close"};
    EXPECT_EQ(journal.events, expected);
}

TEST_F(ConsentCheckTest, HomeDomainNeverTouchesStoreOrUser)
{
    for (const char *origin : {"https://quorvanta.lv", "https://www.quorvanta.lv"}) {
        SCOPED_TRACE(origin);
        journal = Journal();
        checkConsent(origin, context(false));
        EXPECT_TRUE(journal.events.empty());
    }
    EXPECT_EQ(logText(), "");
}

TEST_F(ConsentCheckTest, StoreFailuresPassThroughAndCloseTheStore)
{
    journal.failRead = true;
    EXPECT_THROW(checkConsent("https://bad\xff", context(true)), std::range_error);
    const std::vector<std::string> afterRead = {"open", "now", "close"};
    EXPECT_EQ(journal.events, afterRead) << "no question after a failed read";

    journal = Journal();
    journal.failWrite = true;
    EXPECT_THROW(checkConsent(Origin, context(true)), std::system_error);
    const std::vector<std::string> afterWrite = {"open", "now", "read " + Origin, "ask " + Origin,
                                                 "close"};
    EXPECT_EQ(journal.events, afterWrite);
}

TEST_F(ConsentCheckTest, LogsStoredCurrentAndNextTimes)
{
    journal.stored = 1234;
    checkConsent(Origin, context(true));
    const std::string text = logText();
    const std::string function = "CertificateSelection::getCertPKCS11() [";
    for (const std::string &message :
         {std::string("consent: 1234"), "currentTime: " + std::to_string(now),
          "nextConsent: " + std::to_string(utc(2024, 5, 15) - FixedOffset)}) {
        const std::size_t at = text.find(message + "\n");
        ASSERT_NE(at, std::string::npos) << message << " missing in:\n" << text;
        const std::size_t lineStart = text.rfind('\n', at);
        const std::string line =
            text.substr(lineStart == std::string::npos ? 0 : lineStart + 1, at - lineStart);
        EXPECT_NE(line.find(function), std::string::npos) << line;
    }
}

TEST_F(ConsentCheckTest, NextConsentIsTheNextLocalMidnight)
{
    struct Row {
        const char *name;
        std::int64_t localNow;  // local civil time written as if it were UTC
        std::int64_t localNext;
    };
    const std::vector<Row> rows = {
        {"ordinary afternoon", utc(2024, 5, 14, 13, 45, 10), utc(2024, 5, 15)},
        {"exactly midnight moves a whole day", utc(2024, 5, 14), utc(2024, 5, 15)},
        {"last second of the day", utc(2024, 5, 14, 23, 59, 59), utc(2024, 5, 15)},
        {"local day differs from the UTC day", utc(2024, 5, 15, 1, 0, 0), utc(2024, 5, 16)},
        {"end of a 31-day month", utc(2024, 1, 31, 12), utc(2024, 2, 1)},
        {"end of a 30-day month", utc(2024, 4, 30, 23, 59), utc(2024, 5, 1)},
        {"29 February of a leap year", utc(2024, 2, 29, 8), utc(2024, 3, 1)},
        {"28 February of a common year", utc(2023, 2, 28, 8), utc(2023, 3, 1)},
        {"28 February of a leap year", utc(2024, 2, 28, 8), utc(2024, 2, 29)},
        {"end of the year", utc(2024, 12, 31, 18), utc(2025, 1, 1)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(nextConsentTime(row.localNow - FixedOffset), row.localNext - FixedOffset);
    }
}

TEST_F(ConsentCheckTest, NextConsentAcrossDaylightSavingChanges)
{
    // Riga: EET (UTC+2) in winter, EEST (UTC+3) in summer; clocks go forward
    // on 31 March 2024 at 03:00 and back on 27 October 2024 at 04:00.
    setTimeZone(std::string("Europe/Riga"));
    const std::time_t summer = static_cast<std::time_t>(utc(2024, 7, 1, 12));
    const std::tm *local = std::localtime(&summer);
    if (!local || local->tm_hour != 15)
        GTEST_SKIP() << "the C library does not know the Europe/Riga time zone";

    struct Row {
        const char *name;
        std::int64_t now;  // UTC
        std::int64_t next; // UTC
    };
    const std::vector<Row> rows = {
        {"day before spring change", utc(2024, 3, 30, 10), utc(2024, 3, 30, 22)},
        {"spring change day, before the change", utc(2024, 3, 30, 23), utc(2024, 3, 31, 21)},
        {"spring change day, after the change", utc(2024, 3, 31, 9), utc(2024, 3, 31, 21)},
        {"day before autumn change", utc(2024, 10, 26, 9), utc(2024, 10, 26, 21)},
        {"autumn change day, before the change", utc(2024, 10, 26, 23), utc(2024, 10, 27, 22)},
        {"autumn change day, repeated hour first time", utc(2024, 10, 27, 0, 30),
         utc(2024, 10, 27, 22)},
        {"autumn change day, repeated hour second time", utc(2024, 10, 27, 1, 30),
         utc(2024, 10, 27, 22)},
        {"autumn change day, after the change", utc(2024, 10, 27, 10), utc(2024, 10, 27, 22)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(nextConsentTime(row.now), row.next);
    }
}

TEST(HomeDomainOrigin, MatchesOnlyTheDomainAndItsSubdomainsExactly)
{
    struct Row {
        const char *origin;
        bool home;
    };
    const Row rows[] = {
        {"https://quorvanta.lv", true},
        {"https://www.quorvanta.lv", true},
        {"http://quorvanta.lv", true},
        {"https://a.b.quorvanta.lv", true},
        {"wss://quorvanta.lv", true},
        {"https://quorvanta.lv:443", false},
        {"https://quorvanta.lv/", false},
        {"https://QUORVANTA.LV", false},
        {"https://www.Quorvanta.lv", false},
        {"https://evilquorvanta.lv", false},
        {"https://quorvanta.lv.evil.com", false},
        {"https://quorvanta.lv.", false},
        {"quorvanta.lv", false},
        {"", false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(isHomeDomainOrigin(row.origin), row.home) << row.origin;
    }
}

} // namespace
