// What the fault tests share: a temporary installation laid out by
// tools/make-demo with moxpeer as every peer, a private object directory,
// moxctrl and the peers as real processes, and ways to look at them from
// outside (/proc, the object files) without taking part in the protocol.
//
// Every process a test starts carries the test's object directory in its
// environment; whatever is left of them is killed after the test.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "installation_dirs.h"
#include "process_support.h"

namespace mox::fault {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Far below every start (15000/20000 ms) and stop (30000 ms) time-out, far
// above what a prompt command takes even on a loaded machine: a command that
// ends within it did not wait out a time-out.
inline constexpr milliseconds kPrompt{5000};

// The longest a command may take by its own time-outs, with room for a
// loaded machine: past this it hangs.
inline constexpr milliseconds kLongestWait{30000 + 5000};

using support::AwaitEnd;
using support::Outcome;
using support::Process;
using support::ReadFile;
using support::Reap;
using support::StatusLine;
using support::WriteFile;

// True for four letters each taken from its group's pair: S/E, N/F, N/F, S/E.
bool ValidStatusLetters(const std::string& letters);

// True when the process sleeps in the system call `number` (/proc/PID/syscall).
bool InSystemCall(pid_t pid, long number);

// Checks `condition` every few milliseconds until it holds or `within` has
// passed; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, milliseconds within);

// A descriptor closed on destruction.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ScopedFd& operator=(ScopedFd&& other) noexcept;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd();
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens `path` (creating it) and takes a shared lock on its byte 0 the way a
// handle does, without any other check: for the test to play a holder of a
// file that may be damaged. Invalid on failure.
ScopedFd HoldHandleByte(const fs::path& path);

class Installation : public support::InstallationDirs {
 protected:
  void SetUp() override;
  void TearDown() override;

  // --- running programs ----------------------------------------------------

  // Starts a program in `cwd` with `objects` as its object directory (none
  // at all when empty) and standard output and error going to `out` and
  // `err`. Returns its pid, or -1.
  pid_t Launch(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& out,
               const fs::path& err, const fs::path& objects) const;

  // Runs a program to its end, killing it if it is still running after
  // `limit`.
  Outcome Run(const std::vector<std::string>& args, const fs::path& cwd,
              std::optional<fs::path> objects = std::nullopt,
              milliseconds limit = kLongestWait) const;

  // moxctrl with one argument, from the installation root unless told.
  Outcome Ctl(const std::string& argument, const fs::path& cwd = {},
              milliseconds limit = kLongestWait) const;

  // moxctrl left running; Finish collects it.
  struct Running {
    pid_t pid = -1;
    fs::path out;
    fs::path err;
    Clock::time_point started;
  };
  Running StartCtl(const std::string& argument) const;
  Outcome Finish(const Running& running, milliseconds limit) const;

  // The status letters as printed; checks that the output is complete and
  // that the status file says the same.
  std::string Status(const fs::path& cwd = {}) const;

  // Takes the status until it reads `letters` or `within` has passed;
  // returns the last reading. For peers that were launched but not waited
  // for.
  std::string AwaitStatus(const std::string& letters, milliseconds within = kPrompt) const;

  // Rewrites a parameter file of the installation ("MOX/GENERATOR/COMM/PORVIN.INI").
  void SetParameters(const std::string& relative, const std::string& text) const;

  // --- looking from outside -------------------------------------------------

  // Live processes that carry this test's object directory.
  std::vector<Process> Processes() const;

  // The running peer processes installed as `executable` ("PELKAR.EXE").
  std::vector<Process> Peers(const std::string& executable) const;
  std::vector<Process> AllPeers() const;

  // The one running peer installed as `executable`; fails the test otherwise.
  Process OnePeer(const std::string& executable) const;

  // The state word of an event file as it stands, read without a lock, or
  // nothing when there is no such 64-byte file.
  std::optional<std::uint32_t> EventWord(const std::string& event_name) const;
  bool EventSignalled(const std::string& event_name) const;

  fs::path ObjectFile(const std::string& file_name) const { return objects_ / file_name; }

  std::string peer_program_;
};

}  // namespace mox::fault
