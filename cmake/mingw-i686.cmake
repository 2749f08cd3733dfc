# Cross build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686).
# Used by the "win32" preset; by hand:
#   cmake -S . -B build-win32 --toolchain cmake/mingw-i686.cmake
set(MOX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
