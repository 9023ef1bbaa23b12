// The Windows log file: only an existing regular file with a single link in
// %TEMP% is appended to, in text mode, and nothing is logged without TEMP. The
// fixture points TEMP at a directory of its own and restores it afterwards.
#include "logfile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *temp = std::getenv("TEMP")) savedTemp = temp, hadTemp = true;
        char base[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, base), 0u);
        dir = std::string(base) + "quorvanta-logfile-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir.c_str(), nullptr);
        logPath = dir + "\\quorvanta-chrome-extension.log";
        DeleteFileA(logPath.c_str());
        _putenv_s("TEMP", dir.c_str());
    }
    void TearDown() override
    {
        DeleteFileA(logPath.c_str());
        RemoveDirectoryA(logPath.c_str());
        DeleteFileA(otherPath().c_str());
        RemoveDirectoryA(dir.c_str());
        if (hadTemp)
            _putenv_s("TEMP", savedTemp.c_str());
        else
            _putenv("TEMP=");
    }

    std::string contents() const
    {
        std::ifstream in(logPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool exists() const { return GetFileAttributesA(logPath.c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::string otherPath() const { return dir + "\\other.log"; }

    std::string savedTemp, dir, logPath;
    bool hadTemp = false;
};

TEST_F(LogFileTest, WithoutTheFileNothingIsLoggedOrCreated)
{
    EXPECT_EQ(openLogFileForAppend(), nullptr);
    EXPECT_FALSE(exists());

    _putenv("TEMP=");
    EXPECT_EQ(openLogFileForAppend(), nullptr) << "no TEMP, no log";
}

TEST_F(LogFileTest, AnExistingFileIsAppendedToWithWindowsLineEnds)
{
    std::ofstream(logPath, std::ios::binary) << "first\r\n";
    for (const char *line : {"one\n", "two\nlines\n"}) {
        std::FILE *file = openLogFileForAppend();
        ASSERT_NE(file, nullptr);
        std::fputs(line, file);
        std::fclose(file);
    }
    EXPECT_EQ(contents(), "first\r\none\r\ntwo\r\nlines\r\n");
}

TEST_F(LogFileTest, TheNameIsAppendedToTempAsItIs)
{
    // A trailing separator in TEMP gives a doubled one, which Windows accepts.
    _putenv_s("TEMP", (dir + "\\").c_str());
    std::ofstream(logPath, std::ios::binary) << "";
    std::FILE *file = openLogFileForAppend();
    ASSERT_NE(file, nullptr);
    std::fputs("x\n", file);
    std::fclose(file);
    EXPECT_EQ(contents(), "x\r\n");
}

// A symbolic link has no row here: Wine 8's CreateSymbolicLink reports success
// and makes nothing, and a Unix link shows as a plain file with no reparse
// point. The protocol tests plant a Unix link at the log's name instead.
TEST_F(LogFileTest, OnlyARegularFileWithASingleLinkIsAppendedTo)
{
    HANDLE locked = INVALID_HANDLE_VALUE;
    const struct {
        const char *what;
        std::function<void()> make;
        bool appended;
    } cases[] = {
        {"a regular file", [&] { std::ofstream(logPath) << ""; }, true},
        {"a second link to another file",
         [&] {
             std::ofstream(otherPath()) << "";
             ASSERT_TRUE(CreateHardLinkA(logPath.c_str(), otherPath().c_str(), nullptr));
         },
         false},
        {"a folder", [&] { ASSERT_TRUE(CreateDirectoryA(logPath.c_str(), nullptr)); }, false},
        {"a file another program holds without sharing",
         [&] {
             locked = CreateFileA(logPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
             ASSERT_NE(locked, INVALID_HANDLE_VALUE);
         },
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        std::FILE *file = openLogFileForAppend();
        EXPECT_EQ(file != nullptr, c.appended);
        if (file) std::fclose(file);
        if (locked != INVALID_HANDLE_VALUE) CloseHandle(locked), locked = INVALID_HANDLE_VALUE;
        DeleteFileA(logPath.c_str());
        RemoveDirectoryA(logPath.c_str());
        DeleteFileA(otherPath().c_str());
    }
}

} // namespace
