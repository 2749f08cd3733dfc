// A fresh temporary directory per test, made the current directory while the
// test runs, since the status file is written to the current directory.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace mox::testing {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
      path_ = base / ("mox-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCurrentDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace mox::testing
