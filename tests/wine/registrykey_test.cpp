// The registry key owner under Wine: QWORD values, values of other types, name
// matching, failure messages, and that keys are closed on every path. Each
// test works in its own subkey, created and removed by the fixture.
#include "registrykey.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using winreg::RegException;
using winreg::RegistryKey;

constexpr REGSAM readWrite = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;

// True when the handle still refers to an open key.
bool isOpenHandle(HKEY key)
{
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = L"Software\\Quorvanta\\wine-tests\\registrykey-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        key.create(HKEY_CURRENT_USER, path, readWrite);
    }
    void TearDown() override
    {
        key.close();
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }

    void setString(const std::wstring &name, const std::wstring &text)
    {
        ASSERT_EQ(RegSetValueExW(key.handle(), name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    DWORD valueType(const std::wstring &name)
    {
        DWORD type = REG_NONE;
        if (RegQueryValueExW(key.handle(), name.c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
            return REG_NONE;
        return type;
    }

    std::wstring path;
    RegistryKey key;
};

TEST_F(RegistryKeyTest, QwordValuesRoundTripWithAllTheirBits)
{
    const std::uint64_t values[] = {0, 1, 0x69558E00, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull,
                                    0xFFFFFFFFFFFFFFFFull};
    for (std::uint64_t value : values) {
        key.setQword(L"v", value);
        std::uint64_t read = 12345;
        ASSERT_TRUE(key.tryGetQword(L"v", read)) << value;
        EXPECT_EQ(read, value);
        EXPECT_EQ(valueType(L"v"), static_cast<DWORD>(REG_QWORD));
    }
}

TEST_F(RegistryKeyTest, MissingValueAndValuesOfOtherTypesCountAsAbsent)
{
    std::uint64_t read = 77;
    EXPECT_FALSE(key.tryGetQword(L"missing", read));

    setString(L"text", L"12345678");
    const DWORD dword = 5;
    ASSERT_EQ(RegSetValueExW(key.handle(), L"dword", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dword),
                             sizeof dword), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.handle(), L"short binary", 0, REG_BINARY,
                             reinterpret_cast<const BYTE *>(&dword), sizeof dword), ERROR_SUCCESS);
    for (const wchar_t *name : {L"text", L"dword", L"short binary"})
        EXPECT_FALSE(key.tryGetQword(name, read)) << static_cast<const void *>(name);
    EXPECT_EQ(read, 77u) << "a failed read must leave the output alone";

    // Eight bytes of REG_BINARY are still another type, not a time.
    const std::uint64_t binary = 42;
    ASSERT_EQ(RegSetValueExW(key.handle(), L"binary", 0, REG_BINARY, reinterpret_cast<const BYTE *>(&binary),
                             sizeof binary), ERROR_SUCCESS);
    EXPECT_FALSE(key.tryGetQword(L"binary", read));
    EXPECT_EQ(read, 77u);
}

TEST_F(RegistryKeyTest, WritingReplacesAValueOfAnotherType)
{
    setString(L"https://a.example", L"not a time");
    key.setQword(L"https://a.example", 99);
    EXPECT_EQ(valueType(L"https://a.example"), static_cast<DWORD>(REG_QWORD));
    std::uint64_t read = 0;
    ASSERT_TRUE(key.tryGetQword(L"https://a.example", read));
    EXPECT_EQ(read, 99u);
}

TEST_F(RegistryKeyTest, ValueNamesMatchCaseInsensitively)
{
    key.setQword(L"https://Sign.Example.LV", 7);
    std::uint64_t read = 0;
    ASSERT_TRUE(key.tryGetQword(L"HTTPS://sign.example.lv", read));
    EXPECT_EQ(read, 7u);
    key.setQword(L"https://sign.example.lv", 8);
    ASSERT_TRUE(key.tryGetQword(L"https://Sign.Example.LV", read));
    EXPECT_EQ(read, 8u) << "one value, whatever the case of its name";
    EXPECT_FALSE(key.tryGetQword(L"https://sign.example.lv:443", read));
}

// The description is the call's message, ": " and the system's own text.
void expectRegException(const RegException &e, LSTATUS code, const std::string &message)
{
    EXPECT_EQ(e.code().value(), static_cast<int>(code));
    EXPECT_EQ(e.code().category(), std::system_category());
    const std::string what = e.what();
    ASSERT_GT(what.size(), message.size() + 2) << what;
    EXPECT_EQ(what.substr(0, message.size() + 2), message + ": ") << what;
    EXPECT_NE(what.back(), '\n');
}

TEST_F(RegistryKeyTest, FailuresCarryTheCallsMessageAndTheSystemCode)
{
    RegistryKey other;
    try {
        other.open(HKEY_CURRENT_USER, path + L"\\no such key", KEY_READ);
        FAIL() << "opening a missing key must fail";
    } catch (const RegException &e) {
        expectRegException(e, ERROR_FILE_NOT_FOUND, "RegOpenKeyExW failed.");
    }

    const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1230));
    try {
        other.create(bogus, L"child", readWrite);
        FAIL() << "creating under an invalid key must fail";
    } catch (const RegException &e) {
        expectRegException(e, ERROR_INVALID_HANDLE, "RegCreateKeyExW failed.");
    }

    RegistryKey readOnly;
    readOnly.open(HKEY_CURRENT_USER, path, KEY_READ | KEY_WOW64_64KEY);
    try {
        readOnly.setQword(L"v", 1);
        FAIL() << "writing through a read-only key must fail";
    } catch (const RegException &e) {
        expectRegException(e, ERROR_ACCESS_DENIED, "Cannot write QWORD value: RegSetValueExW failed.");
    }

    try {
        other.setQword(L"v", 1);
        FAIL() << "writing without a key must fail";
    } catch (const std::system_error &e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot write QWORD value: RegSetValueExW failed.: ", 0), 0u);
    }
    std::uint64_t read = 0;
    EXPECT_FALSE(other.tryGetQword(L"v", read));
}

TEST_F(RegistryKeyTest, KeysAreClosedOnEveryPath)
{
    HKEY first = nullptr;
    {
        RegistryKey scoped;
        scoped.open(HKEY_CURRENT_USER, path, KEY_READ);
        first = scoped.handle();
        ASSERT_TRUE(isOpenHandle(first));
    }
    EXPECT_FALSE(isOpenHandle(first)) << "destructor closes";

    RegistryKey held;
    held.create(HKEY_CURRENT_USER, path, readWrite);
    const HKEY created = held.handle();
    held.open(HKEY_CURRENT_USER, path, readWrite);
    EXPECT_NE(held.handle(), created);
    EXPECT_FALSE(isOpenHandle(created)) << "the replaced key is closed";
    EXPECT_TRUE(isOpenHandle(held.handle()));

    const HKEY kept = held.handle();
    EXPECT_THROW(held.open(HKEY_CURRENT_USER, path + L"\\missing", KEY_READ), RegException);
    EXPECT_EQ(held.handle(), kept) << "a failed open keeps the key held before";
    EXPECT_TRUE(isOpenHandle(kept));

    RegistryKey moved(std::move(held));
    EXPECT_FALSE(held.isOpen());
    EXPECT_TRUE(isOpenHandle(kept)) << "moving hands the key over without closing it";
    moved.close();
    EXPECT_FALSE(isOpenHandle(kept));
    moved.close(); // closing an empty owner does nothing
    EXPECT_FALSE(moved.isOpen());

    {
        RegistryKey root(HKEY_CURRENT_USER);
    }
    EXPECT_TRUE(isOpenHandle(HKEY_CURRENT_USER)) << "predefined root keys are never closed";
}

} // namespace
