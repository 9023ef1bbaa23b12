// The host's framing, request loop and request checks, driven through its real
// standard input and output.
#include "hostprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace hosttest;

namespace {

const std::string versionRequest =
    R"({"type":"VERSION","nonce":"1","origin":"https://example.lv"})";

std::string versionResponse(const std::string &nonce)
{
    return "{\n\t\"api\": 1,\n\t\"nonce\": \"" + nonce
           + "\",\n\t\"result\": \"ok\",\n\t\"version\": \"2.3.9\" \n} \n";
}

} // namespace

TEST(Framing, VersionIsAnsweredByteForByteAndEndOfInputEndsTheHost)
{
    HostRun run = runHost(frame(versionRequest));
    ASSERT_TRUE(run.wellFramed) << run.output;
    ASSERT_EQ(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
    // End of input at a frame boundary: one "Bad request" carrying the last nonce.
    EXPECT_EQ(run.frames[1], endingResponse("invalid_argument", "Bad request", "1"));
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Framing, EmptyInputGivesBadRequestWithoutNonce)
{
    HostRun run = runHost("");
    ASSERT_TRUE(run.wellFramed);
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0], endingResponse("invalid_argument", "Bad request"));
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Framing, TwoFramesInOneWriteAreAnsweredInOrder)
{
    const std::string second = R"({"type":"VERSION","nonce":"2","origin":"https://example.lv"})";
    HostRun run = runHost(frame(versionRequest) + frame(second));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
    EXPECT_EQ(run.frames[1], versionResponse("2"));
    EXPECT_EQ(run.frames[2], endingResponse("invalid_argument", "Bad request", "2"));
}

TEST(Framing, LengthLimitIsOneMebibyte)
{
    // Exactly 1048576 bytes: an object followed by padding that is ignored.
    std::string text = versionRequest;
    text.resize(1048576, ' ');
    HostRun accepted = runHost(frame(text));
    ASSERT_GE(accepted.frames.size(), 1u);
    EXPECT_EQ(accepted.frames[0], versionResponse("1"));

    // One byte more is refused without reading the text, carrying the
    // previous request's nonce.
    HostRun refused = runHost(frame(versionRequest) + lengthPrefix(1048577));
    ASSERT_TRUE(refused.wellFramed);
    ASSERT_EQ(refused.frames.size(), 2u);
    EXPECT_EQ(refused.frames[1], endingResponse("invalid_argument", "Invalid message length 1048577", "1"));
    EXPECT_EQ(refused.exitCode, 1);
}

TEST(Framing, EndOfInputInsideTheLengthPrefix)
{
    // Two bytes form the low part of the length (5); the text never comes
    // and its zero bytes are no JSON object.
    HostRun shortLength = runHost(std::string("\x05\x00", 2));
    ASSERT_EQ(shortLength.frames.size(), 1u);
    EXPECT_EQ(shortLength.frames[0], endingResponse("invalid_argument", "Bad request"));
    EXPECT_EQ(shortLength.exitCode, 1);

    // Three bytes that make the length exceed the limit.
    HostRun longLength = runHost(std::string("\x00\x00\x20", 3));
    ASSERT_EQ(longLength.frames.size(), 1u);
    EXPECT_EQ(longLength.frames[0], endingResponse("invalid_argument", "Invalid message length 2097152"));
}

TEST(Framing, TruncatedFrameHoldingACompleteObjectIsServed)
{
    std::string input = frame(versionRequest);
    input[0] = static_cast<char>(input[0] + 10); // announces 10 bytes that never come
    HostRun run = runHost(input);
    ASSERT_EQ(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
    EXPECT_EQ(run.frames[1], endingResponse("invalid_argument", "Bad request", "1"));
}

TEST(Framing, JunkAfterTheObjectIsIgnored)
{
    HostRun run = runHost(frame(versionRequest + "\x01garbage}}{"));
    ASSERT_GE(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
}

TEST(Framing, TextThatIsNoObjectEndsTheHostWithTheLastNonce)
{
    // A lone surrogate has no UTF-8 form, so it cannot be answered as sent.
    for (const std::string bad : {"not json", "[1,2]", "\"VERSION\"", "{\"type\":", "",
                                  R"({"type":"VERSION","nonce":"x\udc80","origin":"https://example.lv"})"}) {
        HostRun run = runHost(frame(versionRequest) + frame(bad));
        ASSERT_EQ(run.frames.size(), 2u) << bad;
        EXPECT_EQ(run.frames[1], endingResponse("invalid_argument", "Bad request", "1")) << bad;
        EXPECT_EQ(run.exitCode, 1) << bad;
    }
}

TEST(Framing, DeepNestingIsABadRequestNotACrash)
{
    std::string deep = R"({"type":"VERSION","nonce":"1","origin":"https://example.lv","x":)";
    while (deep.size() < 1000000) deep += "[{\"a\":";
    HostRun run = runHost(frame(deep));
    ASSERT_TRUE(run.wellFramed);
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0], endingResponse("invalid_argument", "Bad request"));
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Requests, MissingOrIllTypedMembersEndTheHost)
{
    struct Case {
        std::string text;
        std::string nonce; // expected in the error response
    } cases[] = {
        {R"({"type":"VERSION","origin":"https://example.lv"})", ""},
        {R"({"type":"VERSION","nonce":1,"origin":"https://example.lv"})", ""},
        {R"({"nonce":"n1","origin":"https://example.lv"})", "n1"},
        {R"({"type":"VERSION","nonce":"n2"})", "n2"},
        {R"({"type":"VERSION","nonce":"n3","origin":5})", "n3"},
        {R"({"type":"version","nonce":"n4","origin":"https://example.lv"})", "n4"},
        {R"({"type":"SIGN","nonce":"n5","origin":"https://example.lv","cert":"00"})", "n5"},
        {R"({"type":"SIGN","nonce":"n6","origin":"https://example.lv","cert":"00","hash":5})", "n6"},
    };
    for (const Case &c : cases) {
        HostRun run = runHost(frame(c.text) + frame(versionRequest));
        ASSERT_EQ(run.frames.size(), 1u) << c.text;
        EXPECT_EQ(run.frames[0], endingResponse("invalid_argument", "Invalid argument", c.nonce)) << c.text;
        EXPECT_EQ(run.exitCode, 1) << c.text;
    }
}

TEST(Requests, OriginIsFixedByTheFirstRequestEvenForVersion)
{
    const std::string httpVersion = R"({"type":"VERSION","nonce":"1","origin":"http://example.lv"})";
    std::string input = frame(httpVersion);
    for (const char *other : {"http://example.lv/", "HTTP://example.lv", "https://example.lv"})
        input += frame(std::string(R"({"type":"VERSION","nonce":"2","origin":")") + other + "\"}");
    input += frame(httpVersion);
    HostRun run = runHost(input);
    ASSERT_EQ(run.frames.size(), 6u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(run.frames[i], handledResponse("invalid_argument", "Request origin can't change between requests", "2"));
    EXPECT_EQ(run.frames[4], versionResponse("1"));
}

TEST(Requests, LenientRequestTextIsAccepted)
{
    HostRun run = runHost(
        frame("{ // a comment\n'type':'VERSION', \"nonce\":'1',\"origin\":\"https://example.lv\",}"));
    ASSERT_GE(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0], versionResponse("1"));
}

TEST(Requests, CertAndSignNeedAnHttpsOriginAndTheHostGoesOn)
{
    const std::string cert = R"({"type":"CERT","nonce":"c","origin":"http://example.lv"})";
    const std::string sign =
        R"({"type":"SIGN","nonce":"s","origin":"http://example.lv","cert":"00","hash":"00"})";
    HostRun run = runHost(frame(cert) + frame(sign));
    ASSERT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.frames[0], handledResponse("not_allowed", "Origin doesn't contain https", "c"));
    EXPECT_EQ(run.frames[1], handledResponse("not_allowed", "Origin doesn't contain https", "s"));
    EXPECT_EQ(run.frames[2], endingResponse("invalid_argument", "Bad request", "s"));
}

TEST(Requests, ObjectHashWithAuthenticationEndsTheHostBeforeAnyDialog)
{
    for (const char *operation : {"auth", "jwt"}) {
        const std::string sign = std::string(R"({"type":"SIGN","nonce":"s","origin":"https://example.lv",)")
                                 + R"("cert":"00","hash":{"a":"00"},"operation":")" + operation + "\"}";
        HostRun run = runHost(frame(sign));
        ASSERT_EQ(run.frames.size(), 1u);
        EXPECT_EQ(run.frames[0], endingResponse("invalid_argument", "Invalid argument", "s"));
        EXPECT_EQ(run.exitCode, 1);
    }
}

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Under Wine the host's %TEMP% is the prefix's own; the harness names it.
        const char *wineTemp = std::getenv("QUORVANTA_HOST_TEMP_DIR");
        if (wineTemp && *wineTemp) {
            dir = wineTemp;
        } else {
            char pattern[] = "/tmp/quorvanta-log-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            dir = pattern;
            env["TEMP"] = dir;
        }
        path = dir + "/quorvanta-chrome-extension.log";
        std::remove(path.c_str());
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        std::remove(elsewhere().c_str());
    }
    std::string elsewhere() const { return dir + "/elsewhere.log"; }

    std::string readLog()
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir, path;
    std::map<std::string, std::string> env;
};

TEST_F(Log, NoFileMeansNoLogging)
{
    HostRun run = runHost(frame(versionRequest), env);
    ASSERT_EQ(run.frames.size(), 2u);
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0) << "the host created its log file";
}

TEST_F(Log, AnExistingFileGetsOneLinePerStep)
{
    { std::ofstream create(path); }
    HostRun run = runHost(frame(versionRequest), env);
    ASSERT_EQ(run.frames.size(), 2u);
    std::string log = readLog();
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());

    const std::regex parsing(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} main\(\) \[host-shared/hostloop\.cpp:\d+\] Parsing input\.\.\.$)");
    std::istringstream lines(log);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_GE(all.size(), 6u) << log;
    EXPECT_TRUE(std::regex_match(all[0], parsing)) << all[0];
    EXPECT_NE(all[1].find("IOCommunicator::readMessage() [host-shared/iocommunicator.cpp:"), std::string::npos) << all[1];
    EXPECT_NE(all[1].find("] Request(" + std::to_string(versionRequest.size()) + "): " + versionRequest + " "), std::string::npos) << all[1];
    EXPECT_NE(log.find("main() [host-shared/hostloop.cpp:"), std::string::npos);
    EXPECT_NE(log.find("] got nonce 1\n"), std::string::npos);
    EXPECT_NE(log.find("RequestHandler::handleRequest() [host-shared/requesthandler.cpp:"), std::string::npos);
    // The response text spans several lines of the log.
    EXPECT_NE(log.find("] Response(" + std::to_string(versionResponse("1").size()) + ") {\n\t\"api\": 1,\n"), std::string::npos);
}

TEST_F(Log, NothingIsWrittenThroughASymbolicLink)
{
    { std::ofstream create(elsewhere()); }
    ASSERT_EQ(symlink(elsewhere().c_str(), path.c_str()), 0);
    HostRun run = runHost(frame(versionRequest), env);
    ASSERT_EQ(run.frames.size(), 2u);
    struct stat st;
    ASSERT_EQ(stat(elsewhere().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "the host wrote through the link";
}
