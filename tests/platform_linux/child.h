// Real processes for the platform tests. The test binary is its own child:
// started with "--child" it reads one command per line on standard input,
// runs it through the platform layer and answers with one line. Started by
// a launch with MOX_TEST_REPORT set, it writes what it sees of its own
// process to that file instead (launch_test.cc).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace mox::test {

using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

/// The path of the running test binary.
std::string SelfExecutable();

/// A child process running the command loop (RunChildCommands).
class Child {
 public:
  /// Starts the child with the current environment plus `env` (name, value).
  explicit Child(const std::vector<std::pair<std::string, std::string>>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  /// Sends one command line without waiting for its answer.
  void Send(const std::string& command);
  /// Reads one answer line; "<timeout>" or "<eof>" when there is none within
  /// `timeout_ms`.
  std::string Receive(int timeout_ms = 10000);
  /// Send and Receive.
  std::string Ask(const std::string& command);

  /// Closes the child's input, so it ends, and waits until it has ended
  /// without reaping it: the child stays a zombie until Reap.
  void EndAndWaitForZombie();
  /// SIGKILL, then waits until it has ended without reaping it.
  void KillAndWaitForZombie();
  /// Reaps the ended child and returns its wait status.
  int Reap();
  /// Everything the child wrote to standard error (after it ended).
  std::string ReadStderr();

 private:
  void WaitForZombie();

  pid_t pid_ = -1;
  bool reaped_ = false;
  int to_child_ = -1;
  int from_child_ = -1;
  int errors_ = -1;
  std::string buffer_;
};

/// The command loop of a child; returns its exit code.
int RunChildCommands();

/// The report a launched child writes (launch_test.cc); returns its exit code.
int RunLaunchReport(const char* report_path, int argc, char** argv);

/// A fresh private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace mox::test
