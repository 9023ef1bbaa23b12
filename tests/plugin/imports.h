// Redirects a module's import of one function, as a test stands a system
// call in for the plugin in its own process (the plugin holds no switch for
// it).
#pragma once

#include <windows.h>

// Makes `module`'s calls of `dll`!`function` go to `replacement`. The function
// they went to before, or null when `module` does not import it.
void *replaceImport(HMODULE module, const char *dll, const char *function, void *replacement);
