#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "child.h"

int main(int argc, char** argv) {
  // A program started by a launch test: it receives only the launch
  // parameters, so it is recognised by its environment.
  if (const char* report = std::getenv("MOX_TEST_REPORT"); report != nullptr) {
    return mox::test::RunLaunchReport(report, argc, argv);
  }
  if (argc == 2 && std::strcmp(argv[1], "--child") == 0) {
    return mox::test::RunChildCommands();
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
