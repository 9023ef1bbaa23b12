// Binding the module: while no usable module can be found every call fails
// and the next call tries again; a library that loads but cannot be used is
// unloaded again; once the real module is there it is bound and kept. The
// program runs with an initially empty module directory on the loader's path
// and places the candidate libraries there itself.
#include "cardmanagertest.h"

#include "modulelibrary.h"
#include "pkcs11cardmanager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

namespace {

bool moduleIsLoaded()
{
#if defined(_WIN32)
    return GetModuleHandleA(ModuleLibrary::fileName()) != nullptr;
#else
    void *handle = dlopen(ModuleLibrary::fileName(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
#endif
}

class ModuleBinding : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        moduleDir = environment("QUORVANTA_BINDING_DIR");
        ASSERT_FALSE(moduleDir.empty());
        fs::remove(moduleDir / ModuleLibrary::fileName());
        fixture = std::make_unique<TemporaryDirectory>();
        writeFile(fixture->path() / "fixture.txt",
                  "slot 7\nobject cert " + (pkiDir() / "sign-rsa.der").string() + " id 01\n");
        setEnvironment("QUORVANTA_TESTTOKEN_FIXTURE", (fixture->path() / "fixture.txt").string());
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove(moduleDir / ModuleLibrary::fileName(), ignored);
        LoggedTest::TearDown();
    }

    // Puts a copy of `library` where the loader looks for the module.
    void offer(const std::string &variable)
    {
        const std::string library = environment(variable);
        ASSERT_FALSE(library.empty()) << variable;
        // Removed first: a library still loaded could not be replaced on
        // Windows, and mingw's copy_file does not overwrite. Under Wine the
        // removal of a just-unloaded library can take a moment to be seen.
        const fs::path target = moduleDir / ModuleLibrary::fileName();
        fs::remove(target);
        for (int wait = 0; wait < 100 && fs::exists(target); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fs::copy_file(library, target);
    }

    fs::path moduleDir;
    std::unique_ptr<TemporaryDirectory> fixture;
};

TEST_F(ModuleBinding, RetriesUntilAUsableModuleIsThereAndThenKeepsIt)
{
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(errorText([] { PKCS11CardManager::instance(); }), "PKCS11 is not loaded");

    offer("QUORVANTA_NO_FUNCTION_LIST_MODULE");
    EXPECT_EQ(errorText([] { PKCS11CardManager::instance(); }), "PKCS11 is not loaded");
    EXPECT_FALSE(moduleIsLoaded());

    offer("QUORVANTA_FAILING_INIT_MODULE");
    clearLog();
    EXPECT_EQ(errorText([] { PKCS11CardManager::instance(); }), "PKCS11 method failed.");
    EXPECT_FALSE(moduleIsLoaded());
    expectLogLinesInOrder({"return value 0", "return value 48"});

    // A binding that failed made no instance, so no teardown is logged.
    for (const std::string &message : logMessages())
        EXPECT_EQ(message.find("Delete "), std::string::npos) << message;

    offer("QUORVANTA_TEST_TOKEN_MODULE");
    PKCS11CardManager *module = PKCS11CardManager::instance();
    ASSERT_NE(module, nullptr);
    ASSERT_NE(module->functionList, nullptr);
    EXPECT_TRUE(moduleIsLoaded());
    EXPECT_EQ(PKCS11CardManager::instance(), module);
    EXPECT_EQ(module->getAvailableTokens(), std::vector<CK_SLOT_ID>{7});
    EXPECT_TRUE(PKCS11CardManager(7, module->functionList, false).certificateFound);
}

} // namespace
