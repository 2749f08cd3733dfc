// The real moxctrl process: its bytes on standard output and error, its exit
// code and the status file, for the cases where the process start-up and
// the platform layer matter.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "process_support.h"
#include "temp_dir.h"

namespace mox {
namespace {

namespace fs = std::filesystem;
using support::ReadFile;
using Transcript = support::Outcome;

// Runs moxctrl in `cwd` with the given arguments and object directory.
Transcript RunMoxctrl(const std::vector<std::string>& args, const fs::path& cwd,
                      const fs::path& object_dir) {
  const fs::path out_path = cwd / ".stdout";
  const fs::path err_path = cwd / ".stderr";
  std::vector<std::string> argv = {MOXCTRL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto started = support::Clock::now();
  const pid_t pid = support::SpawnRedirected(
      argv, cwd, support::EnvironmentWith({"MOX_OBJECT_DIR=" + object_dir.string()}), out_path,
      err_path);
  const Transcript t = support::Collect(pid, started, out_path, err_path);
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
