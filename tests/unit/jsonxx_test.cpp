// jsonxx: what the lenient parser accepts and refuses, the exact text form of
// responses (numbers, escaping, key order), copy semantics, the nesting limit
// and the precondition failure line.
#include "jsonxx.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <map>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using jsonxx::Array;
using jsonxx::Null;
using jsonxx::Number;
using jsonxx::Object;
using jsonxx::String;
using jsonxx::Value;

namespace {

// The text form with the layout stripped, to state expected documents briefly:
// tabs, line feeds and the spaces that the writer adds outside strings.
std::string compact(const std::string &text)
{
    std::string out;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            out += c;
            if (c == '\\') out += text[++i];
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
            out += c;
        } else if (c != '\t' && c != '\n' && c != ' ') {
            out += c;
        }
    }
    return out;
}

std::string parsedCompact(const std::string &text)
{
    Object o;
    if (!o.parse(text)) return "refused";
    return compact(o.json());
}

std::string stringOf(const std::string &text)
{
    Object o;
    if (!o.parse(text) || !o.has<String>("s")) return "<refused>";
    return o.get<String>("s");
}

} // namespace

struct TextCase {
    std::string text;
    const char *expected; // compact form of what was read, or "refused"
};

void PrintTo(const TextCase &c, std::ostream *os)
{
    *os << testing::PrintToString(c.text);
}

class ParserLeniency : public testing::TestWithParam<TextCase> {};

TEST_P(ParserLeniency, ReadsAsExpected)
{
    EXPECT_EQ(parsedCompact(GetParam().text), GetParam().expected) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Accepted, ParserLeniency, testing::Values(
    TextCase{"{}", "{}"},
    TextCase{"{\"type\":\"VERSION\",}", "{\"type\":\"VERSION\"}"},
    TextCase{"{\"a\":,\"b\":1}", "{\"a\":null,\"b\":1}"},
    TextCase{"{\"a\":}", "{}"},
    TextCase{"{\"a\":1,\"b\":}", "{\"a\":1}"},
    TextCase{"{'type':'CERT'}", "{\"type\":\"CERT\"}"},
    TextCase{"{\"a\":1,\"a\":2}", "{\"a\":2}"},
    TextCase{"{\"a\":[1,]}", "{\"a\":[1]}"},
    TextCase{"{\"a\":[,1,,2]}", "{\"a\":[null,1,null,2]}"},
    TextCase{"{\"a\":[]}", "{\"a\":[]}"},
    TextCase{"{\"a\":{\"b\":{\"c\":[true,false,null]}}}", "{\"a\":{\"b\":{\"c\":[true,false,null]}}}"},
    TextCase{"{\"a\":1} trailing junk {", "{\"a\":1}"},
    TextCase{std::string("{\"a\":1}\0\0\0", 10), "{\"a\":1}"},
    TextCase{" \t\n\v\f\r{ \t\n\v\f\r\"a\" \r\n: \v1\f,\t}", "{\"a\":1}"},
    // Line comments wherever white space may stand before a token.
    TextCase{"{ // note\n\"a\":1}", "{\"a\":1}"},
    TextCase{"// first\r// second\n{\"a\" // k\n : // v\n 1 // c\n , // e\n }", "{\"a\":1}"},
    TextCase{"{\"a\":[ // x\n 1 // y\n ] }", "{\"a\":[1]}"},
    TextCase{"{\"a\":tr// inside a word\nue}", "{\"a\":true}"},
    // Numbers as a classic-locale stream extraction reads them.
    TextCase{"{\"a\":-1.5e3,\"b\":+2,\"c\":.5,\"d\":5.,\"e\":1E2,\"f\":0012,\"g\":1e+2,\"h\":-0}",
             "{\"a\":-1500,\"b\":2,\"c\":0.5,\"d\":5,\"e\":100,\"f\":12,\"g\":100,\"h\":-0}"},
    TextCase{"{\"a\":1e-400,\"b\":-1e-400}", "{\"a\":0,\"b\":-0}"},
    TextCase{"{\"a\":  7  }", "{\"a\":7}"},
    // A value that fails after consuming text ends the member list where it stopped.
    TextCase{"{\"a\":[1 }", "{}"},
    TextCase{"{\"a\":{\"b\" }", "{}"}));

INSTANTIATE_TEST_SUITE_P(Refused, ParserLeniency, testing::Values(
    TextCase{"", "refused"},
    TextCase{"   ", "refused"},
    TextCase{"{,}", "refused"},
    TextCase{"{", "refused"},
    TextCase{"{\"a\":1", "refused"},
    TextCase{"[1,2]", "refused"},
    TextCase{"\"text\"", "refused"},
    TextCase{"x{}", "refused"},
    TextCase{std::string("\0{}", 3), "refused"},
    TextCase{"{a:1}", "refused"},
    TextCase{"{\"a\" 1}", "refused"},
    TextCase{"{\"a\":1 \"b\":2}", "refused"},
    TextCase{"{\"a\":\"unterminated}", "refused"},
    TextCase{"{/* block */\"a\":1}", "refused"},
    TextCase{"{/\"a\":1}", "refused"},
    TextCase{"{\"a\":tru}", "refused"},
    TextCase{"{\"a\":nul}", "refused"},
    TextCase{"{\"a\":1e}", "refused"},
    TextCase{"{\"a\":1e+}", "refused"},
    TextCase{"{\"a\":-}", "refused"},
    TextCase{"{\"a\":.}", "refused"},
    TextCase{"{\"a\":1e400}", "refused"},
    TextCase{"{\"a\":-1e400}", "refused"},
    TextCase{"{\"a\":0x10}", "refused"},
    TextCase{"{\"a\":inf}", "refused"},
    TextCase{"{\"a\":nan}", "refused"},
    TextCase{"{\"a\":1.2.3}", "refused"},
    TextCase{"{\"a\":[1 2]}", "refused"},
    TextCase{"{\"a\":\"\\u41\"}", "refused"}, // the four characters take the closing quote
    // A surrogate that is not one half of a pair has no UTF-8 form.
    TextCase{"{\"a\":\"x\\udc80\"}", "refused"},
    TextCase{"{\"a\":[\"\\ud800\"]}", "refused"},
    TextCase{"{\"a\\ud800x\":1}", "refused"},
    TextCase{"{\"a\":\"\\ud800\\u0041\"}", "refused"},
    TextCase{"{\"a\":\"\\ud800\\ud800\\udc00\"}", "refused"},
    TextCase{"{\"a\":\"\\", "refused"}));

TEST(JsonParser, FailedParseLeavesTheObjectEmpty)
{
    Object o;
    o << "kept" << "no";
    EXPECT_FALSE(o.parse("{\"a\":1,\"b\":[1 2]}"));
    EXPECT_TRUE(o.empty());
    EXPECT_TRUE(o.parse("{\"a\":1}"));
    EXPECT_TRUE(o.parse("{\"b\":2}")); // parsing clears what was there
    EXPECT_FALSE(o.has<Value>("a"));
    EXPECT_EQ(o.get<Number>("b"), 2);
}

TEST(JsonParser, KindsOfParsedValues)
{
    Object o;
    ASSERT_TRUE(o.parse("{\"s\":'x',\"n\":1,\"t\":true,\"z\":null,\"a\":[],\"o\":{},\"m\":,}"));
    EXPECT_TRUE(o.has<String>("s") && o.has<Number>("n") && o.has<jsonxx::Boolean>("t"));
    EXPECT_TRUE(o.has<Null>("z") && o.has<Null>("m") && o.has<Array>("a") && o.has<Object>("o"));
    EXPECT_FALSE(o.has<String>("n") || o.has<Object>("a") || o.has<Value>("missing"));
    EXPECT_TRUE(o.has<Value>("z"));
}

struct EscapeCase {
    const char *text;     // a whole request
    std::string expected; // the bytes of member "s"
};

void PrintTo(const EscapeCase &c, std::ostream *os)
{
    *os << testing::PrintToString(std::string(c.text));
}

class StringEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, YieldTheseBytes)
{
    EXPECT_EQ(stringOf(GetParam().text), GetParam().expected) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, StringEscapes, testing::Values(
    // \u escapes become UTF-8; a surrogate pair is one character.
    EscapeCase{"{\"s\":\"\\u00e9\\u0080\"}", "\xC3\xA9\xC2\x80"},
    EscapeCase{"{\"s\":\"\\u20ac\\u2028\"}", "\xE2\x82\xAC\xE2\x80\xA8"},
    EscapeCase{"{\"s\":\"\\ud83d\\udd11\\uDBFF\\uDFFF\"}", "\xF0\x9F\x94\x91\xF4\x8F\xBF\xBF"},
    EscapeCase{"{\"s\":\"\\u0041\\u004A\"}", "AJ"},
    EscapeCase{"{\"s\":\"\\u0000\"}", std::string(1, '\0')},
    EscapeCase{"{\"s\":\"\\u41zzb\"}", "Ab"},  // leading hex digits count, all four are taken
    EscapeCase{"{\"s\":\"\\uzzzzb\"}", "b"},   // no leading digit: nothing
    EscapeCase{"{\"s\":\"\\u12\\\"b\"}", "\x12" "b"},
    EscapeCase{"{\"s\":\"a\\qb\"}", "a\\qb"},
    EscapeCase{"{\"s\":\"a\\/b\\\\c\"}", "a/b\\c"},
    EscapeCase{"{\"s\":\"\\b\\f\\n\\r\\t\"}", "\b\f\n\r\t"},
    EscapeCase{"{\"s\":\"say \\\"hi\\\"\"}", "say \"hi\""},
    EscapeCase{"{\"s\":\"it\\'s\"}", "it\\'s"},
    EscapeCase{"{'s':'it\\'s'}", "it's"},
    EscapeCase{"{'s':'say \\\"hi\\\"'}", "say \\\"hi\\\""},
    EscapeCase{"{'s':'a\"b'}", "a\"b"},
    EscapeCase{"{\"s\":\"x'y\"}", "x'y"},
    EscapeCase{"{\"s\":\"\x01\x1f\x7f\xc4\x81\t\n\"}", "\x01\x1f\x7f\xc4\x81\t\n"}, // raw bytes pass through
    EscapeCase{"{\"s\":\"a//b\"}", "a//b"},
    EscapeCase{"{\"s\":\"\"}", ""}));

TEST(JsonParser, StreamFormLeavesWhatFollowsUnread)
{
    std::istringstream input("  {\"a\":1} {\"b\":2}");
    Object first, second;
    ASSERT_TRUE(Object::parse(input, first));
    EXPECT_EQ(first.get<Number>("a"), 1);
    ASSERT_TRUE(Object::parse(input, second));
    EXPECT_EQ(second.get<Number>("b"), 2);
    EXPECT_FALSE(second.has<Value>("a"));

    std::istringstream bad("[1]");
    EXPECT_FALSE(Object::parse(bad, first));
    EXPECT_TRUE(first.empty());
}

class NestingLimit : public testing::Test {
protected:
    static std::string nested(unsigned levels, const std::string &open, const std::string &inner,
                              const std::string &close)
    {
        std::string text;
        for (unsigned i = 0; i < levels; ++i) text += open;
        text += inner;
        for (unsigned i = 0; i < levels; ++i) text += close;
        return text;
    }
};

TEST_F(NestingLimit, DeepestAcceptedLevel)
{
    // The outermost object is level 1.
    Object o;
    EXPECT_TRUE(o.parse(nested(jsonxx::kMaxDepth - 1, "{\"a\":", "{}", "}")));
    EXPECT_FALSE(o.parse(nested(jsonxx::kMaxDepth, "{\"a\":", "{}", "}")));
    EXPECT_TRUE(o.parse("{\"a\":" + nested(jsonxx::kMaxDepth - 1, "[", "", "]") + "}"));
    EXPECT_FALSE(o.parse("{\"a\":" + nested(jsonxx::kMaxDepth, "[", "", "]") + "}"));
}

TEST_F(NestingLimit, MebibyteOfOpeningBracketsIsRefused)
{
    Object o;
    EXPECT_FALSE(o.parse("{\"a\":" + std::string(1 << 20, '[')));
    EXPECT_FALSE(o.parse("{\"a\":" + std::string(1 << 20, '[') + std::string(1 << 20, ']') + "}"));
    std::string objects;
    while (objects.size() < (1u << 20)) objects += "{\"a\":";
    EXPECT_FALSE(o.parse(objects));
    EXPECT_TRUE(o.parse("{\"still\":\"works\"}"));
}

TEST_F(NestingLimit, FailedInnerValuesDoNotUseUpTheLimit)
{
    // Each {"x":[1 } reads as an empty object after its array failed at level 3.
    std::string failures;
    for (int i = 0; i < 600; ++i) failures += "\"m" + std::to_string(i) + "\":{\"x\":[1 },";
    Object o;
    ASSERT_TRUE(o.parse("{" + failures + "\"deep\":" + nested(jsonxx::kMaxDepth - 2, "{\"a\":", "{}", "}") + "}"));
    EXPECT_EQ(o.size(), 601u);
    EXPECT_TRUE(o.get<Object>("m599").empty());
    EXPECT_FALSE(o.parse("{" + failures + "\"deep\":" + nested(jsonxx::kMaxDepth - 1, "{\"a\":", "{}", "}") + "}"));
}

TEST(JsonTextForm, ResponseLayoutIsExact)
{
    Object o;
    o << "result" << "ok" << "api" << 1;
    EXPECT_EQ(o.json(), "{\n\t\"api\": 1,\n\t\"result\": \"ok\" \n} \n");
    EXPECT_EQ(Object().json(), "{\n} \n");
}

TEST(JsonTextForm, NestedContainers)
{
    Array list;
    list << 1 << true << Null();
    Object inner;
    inner << "x" << "y";
    Object o;
    o << "a" << Array() << "b" << Object() << "c" << list << "d" << inner << "e" << Value();
    EXPECT_EQ(o.json(), "{\n"
                        "\t\"a\": [\n\t],\n"
                        "\t\"b\": {\n\t},\n"
                        "\t\"c\": [\n\t\t1,\n\t\ttrue,\n\t\tnull \n\t],\n"
                        "\t\"d\": {\n\t\t\"x\": \"y\" \n\t},\n"
                        "\t\"e\": null \n"
                        "} \n");
    Object last;
    last << "z" << inner;
    EXPECT_EQ(last.json(), "{\n\t\"z\": {\n\t\t\"x\": \"y\" \n\t} \n} \n");
}

struct NumberCase {
    Number value;
    const char *text;
};

void PrintTo(const NumberCase &c, std::ostream *os)
{
    *os << c.text;
}

class NumberText : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, WrittenAtPrecision16)
{
    Object o;
    o << "n" << GetParam().value;
    EXPECT_EQ(o.json(), std::string("{\n\t\"n\": ") + GetParam().text + " \n} \n");
}

INSTANTIATE_TEST_SUITE_P(Table, NumberText, testing::Values(
    NumberCase{1, "1"}, NumberCase{0.5, "0.5"}, NumberCase{0.1, "0.1"},
    NumberCase{1.0 / 3, "0.3333333333333333"}, NumberCase{2.0 / 3, "0.6666666666666666"},
    NumberCase{1e21, "1e+21"}, NumberCase{1e16, "1e+16"}, NumberCase{1e15, "1000000000000000"},
    NumberCase{-2.5, "-2.5"}, NumberCase{-0.0, "-0"}, NumberCase{0, "0"},
    NumberCase{9007199254740993.0, "9007199254740992"},
    NumberCase{123456789012345678.0, "1.234567890123457e+17"},
    NumberCase{0.0001, "0.0001"}, NumberCase{0.00001, "1e-05"}, NumberCase{1.5e-300, "1.5e-300"},
    NumberCase{4294967295.0, "4294967295"},
    // Where 16 digits would not read back, or would read back as a number
    // written differently, 17 digits are written.
    NumberCase{1.7976931348623157e308, "1.7976931348623157e+308"},
    NumberCase{1.0000000000000001e210, "1.0000000000000001e+210"},
    NumberCase{1e210, "9.999999999999999e+209"}));

namespace {

// Finite doubles of every magnitude, and integers of every width.
std::vector<Number> sampleNumbers()
{
    std::mt19937_64 random(7);
    std::vector<Number> values;
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t bits = random();
        Number n;
        std::memcpy(&n, &bits, sizeof n);
        if (std::isfinite(n)) values.push_back(n);
        values.push_back(static_cast<Number>(static_cast<std::int64_t>(bits) >> (i % 60)));
    }
    return values;
}

std::string printed(Number n, int digits = 16)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, n);
    for (char *c = text; *c; ++c)
        if (*c == ',') *c = '.'; // printf follows the locale; the text form does not
    return text;
}

// The 16-digit text, unless it reads back as a number written differently
// (or not at all): then 17 digits.
std::string expectedText(Number n)
{
    const std::string text = printed(n);
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    Number back = 0;
    return in >> back && printed(back) == text ? text : printed(n, 17);
}

void expectTextFormOfNumbers()
{
    for (Number n : sampleNumbers()) {
        Object o;
        o << "n" << n;
        ASSERT_EQ(o.json(), "{\n\t\"n\": " + expectedText(n) + " \n} \n");
    }
}

} // namespace

TEST(JsonNumbers, WrittenAsPrintfAndReadAsStrtod)
{
    expectTextFormOfNumbers();
    for (Number n : sampleNumbers()) {
        const std::string text = expectedText(n);
        Object back;
        ASSERT_TRUE(back.parse("{\"n\":" + text + "}")) << text;
        ASSERT_EQ(back.get<Number>("n"), std::strtod(text.c_str(), nullptr)) << text;
    }
}

// Runs a test under a C locale whose decimal point is a comma, as a desktop
// session may have set it, when the machine has one.
class CommaLocale : public testing::Test {
protected:
    void SetUp() override
    {
        saved_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char *name : {"de_DE.UTF-8", "lv_LV.UTF-8", "ru_RU.UTF-8", "German_Germany.1252"})
            if (std::setlocale(LC_NUMERIC, name)) return;
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, saved_.c_str()); }

private:
    std::string saved_;
};

TEST_F(CommaLocale, NumbersKeepTheDecimalPoint)
{
    expectTextFormOfNumbers();
    Object o;
    ASSERT_TRUE(o.parse("{\"n\":0.5,\"m\":-1.25e-3}"));
    EXPECT_EQ(o.get<Number>("n"), 0.5);
    EXPECT_EQ(o.get<Number>("m"), -1.25e-3);
    EXPECT_EQ(compact(o.json()), "{\"m\":-0.00125,\"n\":0.5}");
}

TEST(JsonTextForm, EveryByteIsEscapedByTheTable)
{
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        std::string expected;
        switch (b) {
        case '"': expected = "\\\""; break;
        case '\\': expected = "\\\\"; break;
        case '/': expected = "\\/"; break;
        case 0x08: expected = "\\b"; break;
        case 0x0C: expected = "\\f"; break;
        case 0x0A: expected = "\\n"; break;
        case 0x0D: expected = "\\r"; break;
        case 0x09: expected = "\\t"; break;
        default:
            if (b < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", b);
                expected = u;
            } else {
                expected = std::string(1, c);
            }
        }
        Object o;
        o << std::string(1, c) << std::string("<") + c + ">";
        EXPECT_EQ(o.json(), "{\n\t\"" + expected + "\": \"<" + expected + ">\" \n} \n") << "byte " << b;
    }
}

TEST(JsonTextForm, AllBytesSurviveWriteAndRead)
{
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    Object o;
    o << all << all;
    Object back;
    ASSERT_TRUE(back.parse(o.json()));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back.kv_map().begin()->first, all);
    EXPECT_EQ(back.get<String>(all), all);
}

TEST(JsonKeyOrder, UnsignedBytewiseWithPrefixesFirst)
{
    const std::vector<std::string> sorted = {"", "A", "Z", "a", std::string("a\0", 2), "ab", "b",
                                             "\x7f", "\x80", "\x80\x01", "\xc4\x81", "\xff"};
    // Parsed, since the insertion chain takes an empty string for a missing key.
    std::string text = "{";
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
        std::string key;
        for (char c : *it) key += c ? std::string(1, c) : std::string("\\u0000");
        text += "\"" + key + "\":1,";
    }
    Object o;
    ASSERT_TRUE(o.parse(text + "}"));
    std::vector<std::string> keys;
    for (auto &kv : o.kv_map()) keys.push_back(kv.first);
    EXPECT_EQ(keys, sorted);

    Object inserted;
    inserted << "result" << "ok" << "api" << 1 << "nonce" << "n";
    EXPECT_EQ(compact(inserted.json()), "{\"api\":1,\"nonce\":\"n\",\"result\":\"ok\"}");
}

TEST(JsonKeyOrder, LargeParsedObjectsMatchAReferenceMap)
{
    // Keys from a small alphabet with long shared prefixes, high bytes and
    // duplicates; the later value of a duplicate wins.
    std::mt19937 random(11);
    const std::string alphabet = std::string("ab\x80\xff", 4) + std::string(1, '\0');
    for (std::size_t members : {3u, 20u, 65u, 300u, 5000u}) {
        const bool allShare = members % 2 == 1;
        std::map<std::string, std::string> reference;
        std::string text = "{";
        for (std::size_t i = 0; i < members; ++i) {
            std::string key = (allShare || random() % 2) ? "shared-prefix-of-many-keys-" : "";
            const std::size_t length = random() % 12;
            for (std::size_t k = 0; k < length; ++k) key += alphabet[random() % alphabet.size()];
            const std::string value = std::to_string(i);
            reference[key] = value;
            std::string escaped;
            for (char c : key) escaped += c == '\0' ? std::string("\\u0000") : std::string(1, c);
            text += (i ? ",\"" : "\"") + escaped + "\":\"" + value + "\"";
        }
        text += "}";
        Object o;
        ASSERT_TRUE(o.parse(text));
        ASSERT_EQ(o.size(), reference.size()) << members;
        auto expected = reference.begin();
        for (auto &kv : o.kv_map()) {
            ASSERT_EQ(kv.first, expected->first) << members;
            ASSERT_EQ(kv.second->get<String>(), expected->second) << members;
            ++expected;
        }
    }
}

TEST(JsonValues, CopiesAreDeep)
{
    Object original;
    ASSERT_TRUE(original.parse("{\"list\":[1,{\"k\":\"v\"}],\"obj\":{\"x\":1},\"s\":\"text\"}"));
    Object copy(original);
    copy.get<Array>("list").get<Object>(1) << "k" << "changed";
    copy.get<Object>("obj") << "y" << 2;
    copy.get<String>("s") = "other";
    EXPECT_EQ(compact(original.json()), "{\"list\":[1,{\"k\":\"v\"}],\"obj\":{\"x\":1},\"s\":\"text\"}");
    EXPECT_EQ(compact(copy.json()), "{\"list\":[1,{\"k\":\"changed\"}],\"obj\":{\"x\":1,\"y\":2},\"s\":\"other\"}");

    Value v(original);
    Value w;
    w = v;
    v.get<Object>().reset();
    EXPECT_EQ(w.get<Object>().size(), 3u);

    Array a;
    a << original;
    Array b = a;
    a.get<Object>(0).reset();
    EXPECT_EQ(b.get<Object>(0).size(), 3u);
}

TEST(JsonValues, AssignmentClearsTheTargetAndItsPendingKey)
{
    Object source;
    source << "a" << 1;
    Object target;
    target << "old" << 1 << "dangling";
    target = source;
    target << "x" << 2; // "x" is a key again, not the value of "dangling"
    EXPECT_EQ(compact(target.json()), "{\"a\":1,\"x\":2}");
    EXPECT_EQ(compact(source.json()), "{\"a\":1}");

    const Object &same = target;
    target = same;
    EXPECT_EQ(compact(target.json()), "{\"a\":1,\"x\":2}");

    Value self(target);
    self = self;
    EXPECT_EQ(self.get<Object>().size(), 2u);
    self = self.get<Object>().get<Value>("a"); // the source lives inside the target
    EXPECT_EQ(self.get<Number>(), 1);
}

TEST(JsonValues, InsertionChainStoresAndReplaces)
{
    Object o;
    const std::string key = "k";
    o << key << std::string("s") << "long" << 123456789012L << "size" << std::size_t(7) << "f" << 0.25f
      << "yes" << true << "none" << Null() << "value" << Value("v");
    EXPECT_EQ(compact(o.json()),
              "{\"f\":0.25,\"k\":\"s\",\"long\":123456789012,\"none\":null,\"size\":7,\"value\":\"v\",\"yes\":true}");
    o << "k" << 5;
    EXPECT_EQ(o.get<Number>("k"), 5);
    EXPECT_EQ(o.size(), 7u);

    // The empty text is a key like any other, and an empty value is a value.
    Object empty;
    empty << "" << "first" << "b" << "" << std::string() << std::string("again");
    EXPECT_EQ(compact(empty.json()), "{\"\":\"again\",\"b\":\"\"}");

    Object parsed;
    ASSERT_TRUE(parsed.parse("{\"a\":\"1\",\"b\":[2],\"c\":3}"));
    parsed << "a" << Array() << "b" << "two";
    parsed.get<Number>("c") = 4;
    EXPECT_EQ(compact(parsed.json()), "{\"a\":[],\"b\":\"two\",\"c\":4}");
    Object moved(std::move(parsed));
    EXPECT_EQ(compact(moved.json()), "{\"a\":[],\"b\":\"two\",\"c\":4}");
}

#if GTEST_HAS_DEATH_TEST
TEST(JsonPreconditionsDeathTest, ViolationsStopTheProcessWithOneLine)
{
    Object o;
    o << "n" << 1;
    EXPECT_DEATH(o.get<String>("n"), "\\[JSONXX\\] expression 'has<T>\\(key\\)' failed at .*jsonxx\\.h:.* -> ");
    EXPECT_DEATH(o.get<Object>("missing"), "\\[JSONXX\\] expression 'has<T>\\(key\\)' failed at ");
    EXPECT_DEATH(o << 1, "\\[JSONXX\\] expression 'is<String>\\(\\)' failed at .*jsonxx\\.cpp:.* -> ");
    const Value number(2);
    EXPECT_DEATH(number.get<String>(), "\\[JSONXX\\] expression 'is<String>\\(\\)' failed at ");
}
#endif
