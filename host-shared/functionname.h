// A function's qualified name for log lines.
#pragma once

#include <string>

// "ns::Class::method" from a compiler's pretty function signature
// ("ReturnType ns::Class::method(args)").
std::string qualifiedFunctionName(const char *prettyFunction);
