# Cross-compiling for 32-bit Windows. Its programs run in the WOW64 half of the tests' 64-bit
# Wine prefix, as 32-bit clients and servers do on 64-bit Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
