// The hidden, detached launch. The launched program is this test binary
// under a peer's executable name; it writes what it finds about its own
// process to a report file and then sets an event.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

namespace mox {

namespace test {

namespace {
constexpr const char* kReportEvent = "LaunchReportWritten";

std::string Link(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
}
}  // namespace

int RunLaunchReport(const char* report_path, int argc, char** argv) {
  std::ostringstream out;
  char cwd[PATH_MAX];
  out << "cwd=" << (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") << '\n';
  out << "argc=" << argc << '\n';
  for (int i = 0; i < argc; ++i) out << "arg" << i << '=' << argv[i] << '\n';
  for (int fd = 0; fd <= 2; ++fd) {
    out << "fd" << fd << '=' << Link("/proc/self/fd/" + std::to_string(fd)) << '\n';
  }
  std::string others;
  if (DIR* dir = ::opendir("/proc/self/fd"); dir != nullptr) {
    const std::string own = std::to_string(::dirfd(dir));
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || name == "0" || name == "1" || name == "2" || name == own) {
        continue;
      }
      others += name + "->" + Link("/proc/self/fd/" + name) + ' ';
    }
    ::closedir(dir);
  }
  out << "other_fds=" << others << '\n';
  out << "session_leader=" << (::getsid(0) == ::getpid() ? "yes" : "no") << '\n';
  sigset_t blocked;
  ::sigprocmask(SIG_SETMASK, nullptr, &blocked);
  std::string blocked_list;
  std::string ignored_list;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (::sigismember(&blocked, sig) == 1) blocked_list += std::to_string(sig) + ' ';
    struct sigaction action;
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      ignored_list += std::to_string(sig) + ' ';
    }
  }
  out << "blocked=" << blocked_list << '\n';
  out << "ignored=" << ignored_list << '\n';
  std::ofstream(report_path) << out.str();

  PeerObjects& peer = PlatformPeerObjects();
  const EventHandle done = peer.CreateOrOpenEvent(kReportEvent, true, false);
  return done && peer.SetEvent(done) ? 0 : 1;
}

}  // namespace test

namespace {

using test::TempDir;

using Report = std::map<std::string, std::string>;

class LaunchTest : public testing::Test {
 protected:
  LaunchTest() : inst_(tmp_ / "inst") {
    ::setenv("MOX_OBJECT_DIR", (tmp_ / "objects").c_str(), 1);
    char cwd[PATH_MAX];
    old_cwd_ = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
    const std::string self = test::SelfExecutable();
    for (const char* dir :
         {"", "/MOX", "/MOX/GENERATOR", "/MOX/GENERATOR/MOX", "/MOX/GENERATOR/COMM"}) {
      EXPECT_EQ(::mkdir((inst_ + dir).c_str(), 0700), 0);
    }
    EXPECT_EQ(::symlink(self.c_str(), (inst_ + "/MOX/GENERATOR/MOX/KARN.EXE").c_str()), 0);
    EXPECT_EQ(::symlink(self.c_str(), (inst_ + "/CWDPEER.EXE").c_str()), 0);
    std::ofstream(inst_ + "/PORVIN.INI") << "[not a program]\n";
    EXPECT_EQ(::chdir(inst_.c_str()), 0);
    done_ = ops_.CreateOrOpenEvent("LaunchReportWritten", true, false);
    EXPECT_TRUE(done_);
  }

  ~LaunchTest() override {
    PlatformPeerObjects().CloseEvent(done_);
    EXPECT_EQ(::chdir(old_cwd_.c_str()), 0);
    ::unsetenv("MOX_OBJECT_DIR");
  }

  // Launches with a descriptor open that is not close-on-exec, SIGUSR1
  // ignored and SIGUSR2 blocked: none of it may reach the program.
  bool LaunchWithUntidyParent(const LaunchRequest& request, const std::string& report) {
    const int stray = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_action;
    ::sigaction(SIGUSR1, &ignore, &old_action);
    sigset_t usr2;
    sigset_t old_mask;
    ::sigemptyset(&usr2);
    ::sigaddset(&usr2, SIGUSR2);
    ::sigprocmask(SIG_BLOCK, &usr2, &old_mask);
    ::setenv("MOX_TEST_REPORT", report.c_str(), 1);

    const bool launched = ops_.Launch(request);

    ::unsetenv("MOX_TEST_REPORT");
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGUSR1, &old_action, nullptr);
    ::close(stray);
    return launched;
  }

  // Waits for the launched program's report.
  Report WaitForReport(const std::string& path) {
    Report report;
    EXPECT_EQ(ops_.WaitForEvents({&done_, 1}, true, 20000), WaitResult::all_signalled)
        << "the launched program did not report";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      const std::size_t eq = line.find('=');
      report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_TRUE(ops_.ResetEvent(done_));
    return report;
  }

  TempDir tmp_;
  std::string inst_;
  std::string old_cwd_;
  SystemOps& ops_ = PlatformSystemOps();
  EventHandle done_;
};

TEST_F(LaunchTest, StartsTheProgramDetachedWithItsArgumentsAndDirectory) {
  const std::string karn = inst_ + "/MOX/GENERATOR/MOX/KARN.EXE";
  struct Case {
    const char* name;
    const char* cwd;  // the caller's, below the installation
    LaunchRequest request;
    std::string program;
    std::vector<std::string> args;
    std::string directory;
  };
  // clang-format off
  const Case cases[] = {
      {"file in the launch directory, parameters with quotes", "",
       {"open", "KARN.EXE", R"(KARN.INI "two words" say\"hi C:\dir\x.ini)", ".\\MOX\\GENERATOR\\MOX"},
       karn, {"KARN.INI", "two words", "say\"hi", R"(C:\dir\x.ini)"}, inst_ + "/MOX/GENERATOR/MOX"},
      {"no parameters at all, no directory", "",
       {"open", "MOX\\GENERATOR\\MOX\\KARN.EXE", nullptr, nullptr},
       karn, {}, inst_},
      {"empty parameter string", "",
       {"open", "CWDPEER.EXE", "", nullptr},
       inst_ + "/CWDPEER.EXE", {}, inst_},
      {"file not in the launch directory: found in the current one", "",
       {"open", "CWDPEER.EXE", "PORVIN.INI", "MOX\\GENERATOR\\MOX"},
       inst_ + "/CWDPEER.EXE", {"PORVIN.INI"}, inst_ + "/MOX/GENERATOR/MOX"},
      {"local mode: paths relative to the generator's COMM directory", "/MOX/GENERATOR/COMM",
       {"open", "..\\MOX\\KARN.EXE", "KARN.INI", "..\\MOX"},
       inst_ + "/MOX/GENERATOR/COMM/../MOX/../MOX/KARN.EXE", {"KARN.INI"}, inst_ + "/MOX/GENERATOR/MOX"},
  };
  // clang-format on
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chdir((inst_ + c.cwd).c_str()), 0);
    const std::string path = tmp_ / ("report" + std::to_string(n++));
    ASSERT_TRUE(LaunchWithUntidyParent(c.request, path));
    Report report = WaitForReport(path);
    EXPECT_EQ(report["arg0"], c.program);
    EXPECT_EQ(report["argc"], std::to_string(c.args.size() + 1));
    for (std::size_t i = 0; i < c.args.size(); ++i) {
      EXPECT_EQ(report["arg" + std::to_string(i + 1)], c.args[i]);
    }
    char real[PATH_MAX];
    ASSERT_NE(::realpath(c.directory.c_str(), real), nullptr);
    EXPECT_EQ(report["cwd"], real);
    EXPECT_EQ(report["fd0"], "/dev/null");
    EXPECT_EQ(report["fd1"], "/dev/null");
    EXPECT_EQ(report["fd2"], "/dev/null");
    EXPECT_EQ(report["other_fds"], "");
    EXPECT_EQ(report["session_leader"], "yes");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["ignored"], "");
  }
}

TEST_F(LaunchTest, WhatCannotBeStartedIsReportedAndHarmsNothing) {
  struct Case {
    const char* name;
    LaunchRequest request;
  };
  const Case cases[] = {
      {"missing file",                          {"open", "NOPEER.EXE", "x", nullptr}              },
      {"missing file, with a directory",        {"open", "NOPEER.EXE", "x", "MOX\\GENERATOR\\MOX"}},
      {"missing directory",                     {"open", "CWDPEER.EXE", nullptr, "MOX\\NOWHERE"}  },
      {"missing directory, file named into it", {"open", "KARN.EXE", nullptr, "MOX\\NOWHERE"}     },
      {"not a program",                         {"open", "PORVIN.INI", nullptr, nullptr}          },
      {"a directory",                           {"open", "MOX", nullptr, nullptr}                 },
      {"no file",                               {"open", nullptr, nullptr, nullptr}               },
      {"empty file",                            {"open", "", nullptr, nullptr}                    },
      {"another verb",                          {"print", "CWDPEER.EXE", nullptr, nullptr}        },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(LaunchWithUntidyParent(c.request, tmp_ / "unused"));
  }
  // Nothing was started: no report came.
  EXPECT_EQ(ops_.WaitForEvents({&done_, 1}, true, 100), WaitResult::timed_out);
}

}  // namespace
}  // namespace mox
