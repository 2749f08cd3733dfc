// Helpers for the tests that run moxctrl and the peers as real processes:
// reading and writing whole files, starting a program with a chosen
// environment and its output going to files, waiting for it, and finding
// processes again in /proc by an entry of their environment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mox::support {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct Outcome {
  int exit_code = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
  milliseconds took{0};
  bool hung = false;  // still running at its limit, then killed
};

struct Process {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string exe;  // the running program's file, links resolved
  std::vector<std::string> argv;
  fs::path cwd;
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& text);

// The parts of a NUL-separated list (/proc/PID/cmdline, /proc/PID/environ).
std::vector<std::string> SplitNuls(const std::string& text);

// The last component of a path.
std::string BaseName(const std::string& path);

// The status report as printed, from its four letters.
std::string StatusLine(const std::string& letters);

// True once `pid` has ended: gone, or a zombie nobody reaped.
bool Ended(pid_t pid);

// Waits until the process has ended (a zombie counts as ended).
bool AwaitEnd(pid_t pid, milliseconds within);

// Reaps a child; its exit code, or 128 + the signal that ended it; -1 when
// there is no such child.
int Reap(pid_t pid);

// The current environment with the entries `set` ("NAME=value") in front,
// and without any other entry of the names in `set` or `unset`.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset = {});

// Starts `args` in `cwd` with exactly `env` as its environment, standard
// input from /dev/null and standard output and error going to the files
// `out` and `err` (truncated). Returns its pid, or -1.
pid_t SpawnRedirected(const std::vector<std::string>& args, const fs::path& cwd,
                      const std::vector<std::string>& env, const fs::path& out,
                      const fs::path& err);

// Waits for a child started at `started` with its output going to `out` and
// `err`, reaps it and reads its output. With a `limit`, a child still
// running after it is killed and counts as hung.
Outcome Collect(pid_t pid, Clock::time_point started, const fs::path& out, const fs::path& err,
                std::optional<milliseconds> limit = std::nullopt);

// Live processes other than this one whose environment holds the entry
// `env_entry` ("NAME=value"); zombies are left out.
std::vector<Process> ProcessesWith(const std::string& env_entry);

// Kills the processes, waits a little for each to end and reaps whatever
// children of this process have ended: what a test leaves behind.
void KillAll(const std::vector<Process>& processes);

}  // namespace mox::support
