// Any bytes as the standard input of one host session: framing, request
// checks and the error answers, with no PKCS#11 module and no display. Each
// input starts with no origin served, as a new host process does.
#include "hostloop.h"
#include "modulelibrary.h"
#include "requesthandler.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

std::string temporaryDirectory, configDirectory;

std::string makeDirectory()
{
    std::string pattern = std::filesystem::temp_directory_path() / "quorvanta-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) std::abort();
    return pattern;
}

void removeDirectories()
{
    std::error_code ignored;
    std::filesystem::remove_all(temporaryDirectory, ignored);
    std::filesystem::remove_all(configDirectory, ignored);
}

// The output must be whole frames, at least one: the host always answers.
bool wellFramed(const char *output, std::size_t size)
{
    std::size_t frames = 0;
    while (size >= 4) {
        std::uint32_t length;
        std::memcpy(&length, output, 4);
        if (size - 4 < length) return false;
        output += 4 + length;
        size -= 4 + length;
        ++frames;
    }
    return size == 0 && frames > 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // An empty TEMP keeps the log off; an empty configuration directory keeps
    // the consent store away from the user's own. No display: every dialog
    // fails to start.
    temporaryDirectory = makeDirectory();
    configDirectory = makeDirectory();
    std::atexit(removeDirectories);
    setenv("TEMP", temporaryDirectory.c_str(), 1);
    setenv("XDG_CONFIG_HOME", configDirectory.c_str(), 1);
    setenv("HOME", configDirectory.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // A module on the loader's path would have the inputs drive a real token.
    if (ModuleLibrary().loaded()) {
        std::fprintf(stderr, "%s can be loaded; run without it on the library path\n",
                     ModuleLibrary::fileName());
        removeDirectories();
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    RequestHandler::forgetOrigin();
    std::FILE *in = fmemopen(const_cast<std::uint8_t *>(data), size, "rb");
    char *output = nullptr;
    std::size_t outputSize = 0;
    std::FILE *out = open_memstream(&output, &outputSize);
    if (!in || !out) std::abort();

    const int result = runHost(in, out);
    std::fclose(in);
    std::fclose(out);
    const bool whole = wellFramed(output, outputSize);
    std::free(output);
    if (result != 1 || !whole) std::abort();
    return 0;
}
