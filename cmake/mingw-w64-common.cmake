# Shared part of the MinGW-w64 cross toolchains (mingw-i686.cmake,
# mingw-x86_64.cmake). Expects MOX_MINGW_TRIPLE, e.g. i686-w64-mingw32.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)  # Windows 7 and later

# The "-posix" flavour of Debian's MinGW-w64 GCC: with GCC 12 only it has
# std::thread and std::mutex, which the reference peer uses. Its threading
# runtime is linked statically like the rest, so no extra DLL is imported.
find_program(CMAKE_C_COMPILER NAMES ${MOX_MINGW_TRIPLE}-gcc-posix ${MOX_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${MOX_MINGW_TRIPLE}-g++-posix ${MOX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MOX_MINGW_TRIPLE}-windres)

# Every executable, tests included, links the C++ and GCC runtimes
# statically: a Windows machine (or a fresh Wine prefix) has no MinGW DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The static runtime libraries carry debug information; a release build
# drops it (half of the executable's size).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

set(CMAKE_FIND_ROOT_PATH /usr/${MOX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run the Windows executables through Wine, in a Wine prefix private to
# the build tree (see tests/win32/wine-run.sh).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  get_filename_component(_mox_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_mox_source_root}/tests/win32/wine-run.sh")
endif()
