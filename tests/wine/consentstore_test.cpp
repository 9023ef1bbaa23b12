// The registry consent store under Wine: it reads and writes REG_QWORD values
// named after the origin in the current user's consents key, in the 64-bit
// view. Values written here carry this process's id and are removed by the
// fixture.
#include "consentstore.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const wchar_t consentsPath[] = L"SOFTWARE\\Quorvanta\\Quorvanta Token Signing\\consents";

class ConsentStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        store = openConsentStore();
        ASSERT_TRUE(store);
    }
    void TearDown() override
    {
        store.reset();
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, consentsPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return;
        for (const std::wstring &name : written) RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
    }

    // An origin unique to this test process; its value is removed afterwards.
    std::string origin(const std::string &host)
    {
        const std::string text = "https://" + host + "-" + std::to_string(GetCurrentProcessId()) + ".example";
        written.emplace_back(text.begin(), text.end());
        return text;
    }

    std::unique_ptr<ConsentStore> store;
    std::vector<std::wstring> written;
};

TEST_F(ConsentStoreTest, StoresTimesPerOriginInTheConsentsKey)
{
    const std::string a = origin("a"), b = origin("b");
    EXPECT_EQ(store->readConsent(a), 0) << "no consent yet";
    store->writeConsent(a, 1767225600);
    store->writeConsent(b, -5);
    EXPECT_EQ(store->readConsent(a), 1767225600);
    EXPECT_EQ(store->readConsent(b), -5) << "signed 64-bit times";

    // What a host process opening the key afresh finds, in the 64-bit view.
    std::int64_t raw = 0;
    DWORD size = sizeof raw, type = 0;
    const std::wstring name(a.begin(), a.end());
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, consentsPath, name.c_str(), RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY,
                           &type, &raw, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(raw, 1767225600);
    EXPECT_EQ(openConsentStore()->readConsent(a), 1767225600);
}

TEST_F(ConsentStoreTest, OriginsMatchCaseInsensitivelyButPortsDiffer)
{
    const std::string mixed = origin("Case.Example");
    std::string lower = mixed;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    store->writeConsent(mixed, 100);
    EXPECT_EQ(store->readConsent(lower), 100);
    EXPECT_EQ(store->readConsent(mixed + ":443"), 0);
}

TEST_F(ConsentStoreTest, AStringValueOfTheOriginsNameIsAbsentUntilReplaced)
{
    const std::string site = origin("string");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, consentsPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    const std::wstring name(site.begin(), site.end());
    const wchar_t text[] = L"9999999999";
    ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text),
              ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(store->readConsent(site), 0);
    store->writeConsent(site, 200);
    EXPECT_EQ(store->readConsent(site), 200);
}

TEST_F(ConsentStoreTest, InvalidUtf8OriginsFailTheConversion)
{
    for (const std::string &bad : {std::string("https://\xff.example"), std::string("https://a\xc3")}) {
        try {
            store->readConsent(bad);
            FAIL() << "read must fail";
        } catch (const std::range_error &e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
        EXPECT_THROW(store->writeConsent(bad, 1), std::range_error);
    }
}

} // namespace
