# Cross build of the shipped Windows host: 32-bit, mingw-w64. Its tests run
# under wine32 where the kernel can execute 32-bit programs.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --32)
