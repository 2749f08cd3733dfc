// The directories of a test that runs a temporary installation: a fresh
// root under the temporary directory holding `install_` (left for
// tools/make-demo to make), a private object directory `objects_` and `io_`
// for the output of the programs the test runs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace mox::support {

class InstallationDirs : public ::testing::Test {
 protected:
  // Makes the root (its name starting with `prefix`), `objects_` and `io_`;
  // fails the test when it cannot.
  void MakeDirectories(const std::string& prefix);
  // Removes the root and everything in it.
  void RemoveDirectories();

  std::filesystem::path root_;
  std::filesystem::path install_;
  std::filesystem::path objects_;
  std::filesystem::path io_;
};

}  // namespace mox::support
