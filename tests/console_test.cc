// The real moxctrl process: its bytes on standard output and error, its exit
// code and the status file, for the cases where the process start-up and
// the platform layer matter.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_dir.h"

extern char** environ;

namespace mox {
namespace {

namespace fs = std::filesystem;

struct Transcript {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs moxctrl in `cwd` with the given arguments and object directory.
Transcript RunMoxctrl(const std::vector<std::string>& args, const fs::path& cwd,
                      const fs::path& object_dir) {
  const fs::path out_path = cwd / ".stdout";
  const fs::path err_path = cwd / ".stderr";
  std::vector<std::string> env_strings = {"MOX_OBJECT_DIR=" + object_dir.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("MOX_OBJECT_DIR=", 0) != 0) env_strings.emplace_back(*e);
  }
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::vector<std::string> argv_strings = {MOXCTRL_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  Transcript t;
  if (rc != 0) return t;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  t.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  t.out = ReadFile(out_path);
  t.err = ReadFile(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return t;
}

constexpr char kNothingRuns[] =
    "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';";

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    objects_ = root_.path() / "objects";
    work_ = root_.path() / "work";
    fs::create_directory(objects_);
    fs::permissions(objects_, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directory(work_);
  }

  testing::ScopedTempDir root_;
  fs::path objects_;
  fs::path work_;
};

TEST_F(ConsoleTest, UsageTextAndExitCodeForAWrongArgumentCount) {
  for (const auto& args : {
           std::vector<std::string>{   },
           std::vector<std::string>{ "C", "C"}
  }) {
    SCOPED_TRACE(args.size());
    const Transcript t = RunMoxctrl(args, work_, objects_);
    EXPECT_EQ(t.exit_code, 1);
    EXPECT_EQ(t.out, "moxctrl Param S/E/N/F/B/X/A/D\nBei lokalem Aufruf Param s/n");
    EXPECT_EQ(t.err, "");
  }
  EXPECT_FALSE(fs::exists(work_ / "MOXCTRL.DAT"));
}

TEST_F(ConsoleTest, StatusWithNothingRunningPrintsAndWritesTheFile) {
  for (const char* letter : {"C", "c", "check"}) {
    SCOPED_TRACE(letter);
    const Transcript t = RunMoxctrl({letter}, work_, objects_);
    EXPECT_EQ(t.exit_code, 0);
    EXPECT_EQ(t.out, kNothingRuns);
    EXPECT_EQ(t.err, "");
    EXPECT_EQ(ReadFile(work_ / "MOXCTRL.DAT"), "EFFE");
  }
}

// Letters without a row touch nothing, so not even a refused object
// directory is noticed.
TEST_F(ConsoleTest, LetterWithoutARowTouchesNoObject) {
  fs::permissions(objects_, fs::perms::all, fs::perm_options::replace);
  for (const char* arg : {"G", "z", "1", "", "\xff"}) {
    SCOPED_TRACE(arg);
    const Transcript t = RunMoxctrl({arg}, work_, objects_);
    EXPECT_EQ(t.exit_code, 0);
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.err, "");
  }
}

// Nothing could be looked at: the report still comes out as the command
// defines it, but the reason is said on standard error.
TEST_F(ConsoleTest, RefusedObjectDirectoryIsNamedOnStandardError) {
  fs::permissions(objects_, fs::perms::all, fs::perm_options::replace);
  const Transcript t = RunMoxctrl({"C"}, work_, objects_);
  EXPECT_EQ(t.exit_code, 0);
  EXPECT_EQ(t.out, kNothingRuns);
  EXPECT_NE(t.err.find(objects_.string()), std::string::npos) << t.err;
  EXPECT_EQ(std::count(t.err.begin(), t.err.end(), '\n'), 1) << t.err;
}

// A stop of a group that nobody answers would wait its full time; with the
// object directory refused every event is null and the wait fails at once.
TEST_F(ConsoleTest, StopWithRefusedObjectDirectoryEndsAtOnce) {
  fs::permissions(objects_, fs::perms::all, fs::perm_options::replace);
  const auto started = std::chrono::steady_clock::now();
  const Transcript t = RunMoxctrl({"E"}, work_, objects_);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(t.exit_code, 0);
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(std::count(t.err.begin(), t.err.end(), '\n'), 1) << t.err;
}

}  // namespace
}  // namespace mox
