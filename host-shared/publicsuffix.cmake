# Turns the Public Suffix List into the table that originline.cpp looks names
# up in: every rule of more than one label (a rule of one label says what the
# list's default rule says), one per line, and the most labels of any rule.
#   cmake -DLIST=public_suffix_list.dat -DOUT=publicsuffixtable.cpp -P publicsuffix.cmake
file(STRINGS "${LIST}" lines REGEX "^[^/ \t]" ENCODING UTF-8)
set(rules "")
set(most 1)
foreach(line IN LISTS lines)
    # A rule ends at the first white space.
    string(REGEX REPLACE "[ \t].*" "" rule "${line}")
    if(rule MATCHES "[\"\\\\]")
        message(FATAL_ERROR "unexpected rule in ${LIST}: ${rule}")
    endif()
    string(REGEX REPLACE "[^.]" "" dots "${rule}")
    string(LENGTH "${dots}" labels)
    if(labels EQUAL 0 AND NOT rule MATCHES "^[!*]")
        continue()
    endif()
    math(EXPR labels "${labels} + 1")
    if(labels GREATER most)
        set(most ${labels})
    endif()
    list(APPEND rules "${rule}")
endforeach()
list(LENGTH rules count)
if(count LESS 1000)
    message(FATAL_ERROR "${LIST} holds only ${count} rules of more than one label")
endif()
list(JOIN rules "\\n\"\n    \"" body)
file(WRITE "${OUT}.new" "// Made at build time from ${LIST}.
#include <cstddef>
extern const char quorvantaPublicSuffixRules[];
extern const std::size_t quorvantaPublicSuffixRulesSize;
extern const std::size_t quorvantaPublicSuffixMaxLabels;
const char quorvantaPublicSuffixRules[] =
    \"\\n\"
    \"${body}\\n\";
const std::size_t quorvantaPublicSuffixRulesSize = sizeof quorvantaPublicSuffixRules - 1;
const std::size_t quorvantaPublicSuffixMaxLabels = ${most};
")
file(RENAME "${OUT}.new" "${OUT}")
