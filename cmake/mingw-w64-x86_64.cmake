# The Windows host built for 64-bit: the same sources as the shipped 32-bit
# program, built so that the Windows tests run under wine64 on machines whose
# kernel cannot execute 32-bit code (and so cannot run wine32).
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
