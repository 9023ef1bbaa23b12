// The qualified name of a function from a compiler's pretty function
// signature, for the log lines of the host and of the IE plugin.
#include "functionname.h"

std::string qualifiedFunctionName(const char *prettyFunction)
{
    // "ReturnType ns::Class::method(args) const" -> "ns::Class::method".
    // Template arguments and operator names are rare in logging code; the
    // scan keeps whatever stands between the last top-level space and the
    // parameter list.
    std::string text(prettyFunction);
    std::size_t paren = std::string::npos;
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth == 0) {
            paren = i;
            break;
        }
    }
    std::string head = paren == std::string::npos ? text : text.substr(0, paren);
    depth = 0;
    std::size_t start = 0;
    for (std::size_t i = head.size(); i-- > 0;) {
        char c = head[i];
        if (c == '>') ++depth;
        else if (c == '<') --depth;
        else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            start = i + 1;
            break;
        }
    }
    return head.substr(start);
}
