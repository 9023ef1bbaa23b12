# Windows tests under Wine. quorvanta_add_wine_test() registers a test of a
# Windows cross build: a target's program runs through the build's emulator
# (scripts/wine-run), other commands run as given. Every such test requires
# the fixture "wine", whose setup test "wine-prefix" creates the Wine prefix
# once and starts the server and Wine's own services before the first test,
# detached from the test's output, so that each test program starts quickly
# and no background process of Wine holds a test's output open.
#
#   quorvanta_add_wine_test(NAME name COMMAND target-or-program args...
#                           [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
include_guard(GLOBAL)

set(QUORVANTA_WINE_PREFIX_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-prefix.sh)

function(quorvanta_wine_fixture)
    get_property(done GLOBAL PROPERTY QUORVANTA_WINE_FIXTURE_ADDED)
    if(done)
        return()
    endif()
    set_property(GLOBAL PROPERTY QUORVANTA_WINE_FIXTURE_ADDED TRUE)
    # Creating a prefix takes a while on a fresh machine.
    add_test(NAME wine-prefix COMMAND bash ${QUORVANTA_WINE_PREFIX_SCRIPT})
    set_tests_properties(wine-prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
endfunction()

function(quorvanta_add_wine_test)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT" "COMMAND;ENVIRONMENT")
    if(NOT arg_NAME OR NOT arg_COMMAND)
        message(FATAL_ERROR "quorvanta_add_wine_test needs NAME and COMMAND")
    endif()
    quorvanta_wine_fixture()
    add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
    set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED wine)
    if(arg_ENVIRONMENT)
        set_tests_properties(${arg_NAME} PROPERTIES ENVIRONMENT "${arg_ENVIRONMENT}")
    endif()
    if(arg_TIMEOUT)
        set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
    endif()
endfunction()

# For tests that another CMakeLists.txt has already added with add_test().
function(quorvanta_wine_tests)
    quorvanta_wine_fixture()
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()
