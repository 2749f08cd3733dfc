# Cross build for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64). The product is the 32-bit build; this one exists so
# the Windows tests can run under a 64-bit-only Wine on hosts that cannot
# execute 32-bit x86 code. Used by the "win64" preset.
set(MOX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
