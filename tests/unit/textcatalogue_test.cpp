// The text catalogue: language selection by code, lookups in each language,
// the exact bytes the dialogs rely on, and unknown keys.
#include "textcatalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> allKeys = {
    "plugin action auth", "plugin action sign", "auth warning", "auth warning jwt",
    "sign warning", "sign batch warning", "valid to", "certificate expired", "enter PIN",
    "incorrect PIN", "tries left", "plugin action cert", "cert request warning", "confirm",
    "cancel", "signing", "authentication", "PIN blocked", "error", "sign",
    "select certificate", "select", "certificate", "type", "cert info",
};

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TextCatalogueTest : public ::testing::Test {
protected:
    void SetUp() override { TextCatalogue::setLanguage("en"); }
    void TearDown() override { TextCatalogue::setLanguage("en"); }

    std::string in(const std::string &code, const std::string &key)
    {
        TextCatalogue::setLanguage(code);
        return TextCatalogue::get(key);
    }
};

TEST(TextCatalogueStart, EnglishBeforeAnyLanguageIsSelected)
{
    // A fresh process: the death-test child re-runs only this test.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(TextCatalogue::currentLanguage() == 1
                                  && TextCatalogue::get("confirm") == "Confirm"
                              ? 0
                              : 1),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(TextCatalogueTest, LanguageCodesAreExactAndCaseSensitive)
{
    const struct {
        const char *code;
        int index;
    } cases[] = {
        {"lv", 0},    {"lat", 0},    {"en", 1},   {"eng", 1}, {"ru", 2},     {"rus", 2},
        {"LV", 1},    {"Ru", 1},     {"ENG", 1},  {"", 1},    {" lv", 1},    {"lv ", 1},
        {"lv-LV", 1}, {"ru_RU", 1},  {"de", 1},   {"latvian", 1}, {"l", 1},  {"russ", 1},
    };
    for (const auto &c : cases) {
        TextCatalogue::setLanguage("ru"); // something other than the fallback first
        TextCatalogue::setLanguage(c.code);
        EXPECT_EQ(TextCatalogue::currentLanguage(), c.index) << "code '" << c.code << "'";
    }
}

TEST_F(TextCatalogueTest, LookupFollowsTheSelectedLanguage)
{
    EXPECT_EQ(in("rus", "cancel"), "Отменить");
    EXPECT_EQ(in("LV", "cancel"), "Cancel");
    EXPECT_EQ(in("lat", "cancel"), "Atcelt");
    EXPECT_EQ(in("ru", "plugin action cert"), "Требуется сертификаты");
    EXPECT_EQ(in("ru", "confirm"), "Подтверждать");
    EXPECT_EQ(in("lv", "plugin action auth"), "Autentifikāciju pieprasa");
    EXPECT_EQ(in("en", "valid to"), "The certificate is valid until: _VALID_TO");
}

TEST_F(TextCatalogueTest, ExactBytesTheDialogsBuildOn)
{
    const std::string incorrect = in("en", "incorrect PIN");
    EXPECT_EQ(incorrect, "Incorrect PIN! ");
    EXPECT_EQ(incorrect.size(), 15u);
    EXPECT_EQ(in("ru", "tries left").size(), 34u);
    EXPECT_EQ(in("ru", "tries left"), "Возможных попыток:");
    EXPECT_EQ(in("en", "certificate expired"), "Certificate has expired. ");
    for (const char *code : {"lv", "en", "ru"}) {
        EXPECT_EQ(in(code, "enter PIN"), "PIN:") << code;
        EXPECT_EQ(in(code, "auth warning jwt"), "") << code;
        // Appended text follows these after the trailing space.
        EXPECT_EQ(in(code, "incorrect PIN").back(), ' ') << code;
        EXPECT_EQ(in(code, "certificate expired").back(), ' ') << code;
    }
}

TEST_F(TextCatalogueTest, EveryKeyHasATextInEveryLanguage)
{
    ASSERT_EQ(allKeys.size(), 25u);
    for (const char *code : {"lv", "en", "ru"}) {
        for (const auto &key : allKeys) {
            const std::string text = in(code, key);
            if (key == "auth warning jwt")
                EXPECT_TRUE(text.empty());
            else
                EXPECT_TRUE(!text.empty() && text != key) << code << " '" << key << "'";
        }
    }
}

TEST_F(TextCatalogueTest, PlaceholdersAndLineBreaksAgreeAcrossLanguages)
{
    const struct {
        const char *key;
        const char *marker;
    } markers[] = {
        {"valid to", "_VALID_TO"}, {"sign batch warning", "%lu"},
        {"enter PIN", "PIN"},      {"incorrect PIN", "PIN"},
    };
    for (const char *code : {"lv", "en", "ru"}) {
        for (const auto &m : markers)
            EXPECT_EQ(count(in(code, m.key), m.marker), 1u) << code << " '" << m.key << "'";
        for (const char *key : {"auth warning", "sign warning", "sign batch warning",
                                "cert request warning"})
            EXPECT_EQ(count(in(code, key), "\n"), count(in("en", key), "\n")) << code << " " << key;
    }
}

TEST_F(TextCatalogueTest, UnknownKeysComeBackByteForByte)
{
    for (const std::string &key :
         {std::string(), std::string("Confirm"), std::string("confirm "),
          std::string("no such key"), std::string("\xff\xfe broken", 9), std::string("a\0b", 3)}) {
        for (const char *code : {"lv", "en", "ru"}) EXPECT_EQ(in(code, key), key);
    }
}

} // namespace
