# GoogleTest for the Windows build. Debian ships no MinGW build of it, so it
# is compiled from Debian's source package (googletest, in /usr/src) with the
# cross toolchain. Gives the same targets find_package(GTest) would:
# GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main.
if(TARGET GTest::gtest)
  return()
endif()

set(MOX_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${MOX_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${MOX_GOOGLETEST_SOURCE_DIR}: "
                      "install Debian's googletest package or set MOX_GOOGLETEST_SOURCE_DIR")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${MOX_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
