// Loads a PKCS#11 module by its bare file name, the way the host does, so
// that the loader's search path decides which module the tests get.
#pragma once

#include "pkcs11.h"

#include <string>

namespace testtoken {

// The platform's module file name: libquorvanta-module.so or .dll.
const char *moduleFileName();

// Loads the module once per process and returns its function list; throws
// std::runtime_error when the module or its C_GetFunctionList is missing.
CK_FUNCTION_LIST *loadModule();

// setenv / _putenv_s.
void setEnvironment(const std::string &name, const std::string &value);

} // namespace testtoken
