// Any bytes through the request parser. A text that parses has a text form
// that parses again and is then written the same way: responses and logged
// requests never change meaning when read back.
#include "jsonxx.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void fail(const char *what, const std::string &first, const std::string &second)
{
    std::fprintf(stderr, "%s\n--- first text form:\n%s\n--- second:\n%s\n", what, first.c_str(),
                 second.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The bytes are parsed in place, so a read past their end is caught.
    const char *text = reinterpret_cast<const char *>(data);
    jsonxx::Object parsed;
    if (!parsed.parse(text, text + size)) return 0;
    const std::string once = parsed.json();
    if (!parsed.parse(once)) fail("The text form does not parse", once, "");
    const std::string twice = parsed.json();
    if (twice != once) fail("The text form changes when read back", once, twice);
    return 0;
}
