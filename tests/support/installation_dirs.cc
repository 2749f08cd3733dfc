#include "installation_dirs.h"

#include <stdlib.h>
#include <sys/stat.h>

namespace mox::support {

namespace fs = std::filesystem;

void InstallationDirs::MakeDirectories(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
  install_ = root_ / "install";
  objects_ = root_ / "objects";
  io_ = root_ / "io";
  ASSERT_EQ(::mkdir(objects_.c_str(), 0700), 0);
  fs::create_directory(io_);
}

void InstallationDirs::RemoveDirectories() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

}  // namespace mox::support
