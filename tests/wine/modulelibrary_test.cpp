// Loading the PKCS#11 module by its bare name on Windows: a copy in the
// current directory is never picked up, one on the search path is; it is
// unloaded on destruction unless kept. The probe module sits in a directory
// beside the test program; the fixture restores the directory and PATH.
#include "modulelibrary.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::string programDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    return text.substr(0, text.find_last_of("\\/"));
}

class ModuleLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        probeDir = programDirectory() + "\\probe-module";
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        savedCwd = cwd;
        const DWORD length = GetEnvironmentVariableA("PATH", nullptr, 0);
        savedPath.resize(length);
        GetEnvironmentVariableA("PATH", &savedPath[0], length);
        savedPath.resize(length ? length - 1 : 0);
        ASSERT_NE(GetFileAttributesA((probeDir + "\\libquorvanta-module.dll").c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_EQ(GetModuleHandleA("libquorvanta-module.dll"), nullptr);
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(savedCwd.c_str());
        SetEnvironmentVariableA("PATH", savedPath.c_str());
        while (HMODULE left = GetModuleHandleA("libquorvanta-module.dll")) FreeLibrary(left);
    }

    std::string probeDir, savedCwd, savedPath;
};

// Wine keeps the current directory in the search order even after
// SetDllDirectoryW(L""), unlike Windows; there the check cannot be made.
bool runsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TEST_F(ModuleLibraryTest, TheCurrentDirectoryIsNotSearched)
{
    if (runsUnderWine()) GTEST_SKIP() << "Wine searches the current directory despite SetDllDirectoryW(L\"\")";
    ASSERT_TRUE(SetCurrentDirectoryA(probeDir.c_str()));
    ModuleLibrary module;
    EXPECT_FALSE(module.loaded());
    EXPECT_EQ(module.symbol("C_GetFunctionList"), nullptr);
}

TEST_F(ModuleLibraryTest, TheSearchPathFindsItAndDestructionUnloadsIt)
{
    SetEnvironmentVariableA("PATH", (probeDir + ";" + savedPath).c_str());
    {
        ModuleLibrary module;
        ASSERT_TRUE(module.loaded());
        EXPECT_NE(module.symbol("C_GetFunctionList"), nullptr);
        EXPECT_EQ(module.symbol("C_NoSuchFunction"), nullptr);
        EXPECT_NE(GetModuleHandleA("libquorvanta-module.dll"), nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("libquorvanta-module.dll"), nullptr);

    {
        ModuleLibrary module;
        ASSERT_TRUE(module.loaded());
        module.keep();
    }
    EXPECT_NE(GetModuleHandleA("libquorvanta-module.dll"), nullptr) << "a kept module stays loaded";
}

} // namespace
