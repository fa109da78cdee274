# Cross-compiling for 32-bit Windows. This kernel cannot run 32-bit code, so this build only
# proves that everything compiles and links (and checks the Win32 layouts).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
