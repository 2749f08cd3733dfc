// process_bench: whole-process measurements of moxctrl, side by side with
// the floors it is held to and with other supervision tools.
//
//   process_bench compare --runner PATH --jobs FILE --rounds N
//                         [--warmup N] [--baseline JOB] [--tsv FILE]
//       Runs the jobs of FILE in interleaved rounds (every job once per
//       round, in an order that rotates from round to round, so that the
//       machine's noise falls on all of them alike) and prints per step the
//       median, spread, CPU and peak memory, and the ratio to the step of the
//       same label in the baseline job.
//   process_bench once --runner PATH --jobs FILE [--tsv FILE]
//       Runs every step once and prints each command's figures (for the
//       long idle waits, whose commands run side by side).
//   process_bench wake --commands FILE --install DIR --group NAME --rounds N
//                      [--warmup N] [--tsv FILE]
//       Wake latency of stop commands: this process plays the group's peers
//       and times from its last acknowledgement to the command's end. FILE
//       holds one command a line, "NAME PROGRAM ARG...", run from DIR in
//       turns, each once a round; "NAME pipe PROGRAM ARG..." is a program
//       woken by a byte on its standard input instead (pipe_waiter.c).
//
// Job file: one directive a line, blank-separated words, '#' comments.
//
//   job NAME [every=K] [exit=E]
//                             a new job; with every=K it runs in one round of K;
//                             its commands are expected to exit with E (0)
//   run LABEL CWD [VAR=VALUE...] PROGRAM [ARG...] [++ CWD [VAR=VALUE...] PROGRAM [ARG...]]...
//                             a step of the job: the commands, started at once
//                             by the runner; the step ends when all have ended
//   floor-start LABEL GROUP INSTALL OBJECT_DIR
//   floor-stop LABEL GROUP INSTALL OBJECT_DIR
//                             a step done inside this process: the floor of a
//                             group's start or stop (bench/process/group_floor.h)
//
// Commands run through spawn_runner, a tiny separate process, because a
// child's peak memory as the kernel reports it includes its parent's size at
// exec; this process is far bigger than the commands it measures.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/process/group_floor.h"
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

extern char** environ;

namespace {

using mox::EventHandle;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "process_bench: %s\n", what.c_str());
  std::exit(1);
}

std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepNs(long ns) {
  timespec ts{0, ns};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// Options.

struct Options {
  std::string mode;
  std::map<std::string, std::string> values;

  std::string Get(const std::string& name, const char* fallback = nullptr) const {
    const auto it = values.find(name);
    if (it != values.end()) return it->second;
    if (fallback == nullptr) Die("missing --" + name);
    return fallback;
  }
  int GetInt(const std::string& name, const char* fallback = nullptr) const {
    return std::atoi(Get(name, fallback).c_str());
  }
};

Options ParseOptions(int argc, char** argv) {
  if (argc < 2) Die("usage: process_bench compare|once|wake --option value ...");
  Options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc)
      Die("bad option " + std::string(argv[i]));
    o.values[argv[i] + 2] = argv[i + 1];
    ++i;
  }
  return o;
}

// ---------------------------------------------------------------------------
// Statistics.

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double pos = q * static_cast<double>(v.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(pos);
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

double Median(const std::vector<double>& v) {
  return Quantile(v, 0.5);
}

// ---------------------------------------------------------------------------
// The runner.

struct CommandResult {
  double wall_ms = 0;
  double cpu_ms = 0;
  long maxrss_kb = 0;
  long minor_faults = 0;
  long voluntary_switches = 0;
  long involuntary_switches = 0;
  int status = 0;
};

struct StepResult {
  double wall_ms = 0;
  std::vector<CommandResult> commands;
};

class Runner {
 public:
  explicit Runner(const std::string& path) {
    int to_runner[2];
    int from_runner[2];
    if (pipe2(to_runner, O_CLOEXEC) != 0 || pipe2(from_runner, O_CLOEXEC) != 0) Die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_runner[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_runner[1], 1);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) Die("cannot start the runner " + path + ": " + std::strerror(rc));
    close(to_runner[0]);
    close(from_runner[1]);
    to_ = fdopen(to_runner[1], "w");
    from_ = fdopen(from_runner[0], "r");
  }

  ~Runner() {
    std::fclose(to_);
    int status;
    waitpid(pid_, &status, 0);
    std::fclose(from_);
  }

  // Each command: its working directory, then assignments and arguments.
  StepResult Run(const std::vector<std::vector<std::string>>& commands) {
    std::fprintf(to_, "run %zu\n", commands.size());
    for (const auto& words : commands) {
      for (std::size_t i = 0; i < words.size(); ++i) {
        std::fprintf(to_, "%s%s", i > 0 ? "\t" : "", words[i].c_str());
      }
      std::fputc('\n', to_);
    }
    std::fflush(to_);
    StepResult step;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      long long wall_ns, user_us, sys_us;
      CommandResult c;
      if (std::fscanf(from_, "%lld %lld %lld %ld %ld %ld %ld %d", &wall_ns, &user_us, &sys_us,
                      &c.maxrss_kb, &c.minor_faults, &c.voluntary_switches, &c.involuntary_switches,
                      &c.status) != 8) {
        Die("the runner stopped answering");
      }
      c.wall_ms = static_cast<double>(wall_ns) / 1e6;
      c.cpu_ms = static_cast<double>(user_us + sys_us) / 1e3;
      step.commands.push_back(c);
    }
    long long total_ns;
    if (std::fscanf(from_, " end %lld", &total_ns) != 1) Die("the runner stopped answering");
    step.wall_ms = static_cast<double>(total_ns) / 1e6;
    return step;
  }

  long OwnPeakKb() {
    std::fputs("self\n", to_);
    std::fflush(to_);
    long kb = -1;
    if (std::fscanf(from_, " self %ld", &kb) != 1) Die("the runner stopped answering");
    return kb;
  }

 private:
  pid_t pid_ = -1;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
};

// ---------------------------------------------------------------------------
// Jobs.

enum class StepKind { run, floor_start, floor_stop };

struct Step {
  std::string label;
  StepKind kind = StepKind::run;
  std::vector<std::vector<std::string>> commands;  // kind run
  std::optional<mox::bench::PreparedGroup> group;  // kinds floor_*
  std::string object_dir;                          // kinds floor_*
  // Samples of the measured rounds.
  std::vector<double> wall_ms, cpu_ms, maxrss_kb, faults;
  std::vector<int> rounds;
  int failures = 0;
  std::string first_failure;
};

struct Job {
  std::string name;
  int every = 1;
  int expected_exit = 0;
  std::vector<Step> steps;
};

std::vector<Job> ReadJobs(const std::string& path) {
  std::ifstream in(path);
  if (!in) Die("cannot read " + path);
  std::vector<Job> jobs;
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    const std::string where = path + ":" + std::to_string(line_no);
    if (w[0] == "job") {
      if (w.size() < 2) Die(where + ": job needs a name");
      Job job{w[1], 1, 0, {}};
      for (std::size_t i = 2; i < w.size(); ++i) {
        if (w[i].rfind("every=", 0) == 0) {
          job.every = std::max(1, std::atoi(w[i].c_str() + 6));
        } else if (w[i].rfind("exit=", 0) == 0) {
          job.expected_exit = std::atoi(w[i].c_str() + 5);
        } else {
          Die(where + ": unknown job option " + w[i]);
        }
      }
      jobs.push_back(std::move(job));
      continue;
    }
    if (jobs.empty()) Die(where + ": a step before the first job");
    Step step;
    if (w.size() < 2) Die(where + ": a step needs a label");
    step.label = w[1];
    if (w[0] == "run") {
      std::vector<std::string> command;
      for (std::size_t i = 2; i < w.size(); ++i) {
        if (w[i] == "++") {
          step.commands.push_back(std::move(command));
          command.clear();
        } else {
          command.push_back(w[i]);
        }
      }
      step.commands.push_back(std::move(command));
      for (const auto& c : step.commands) {
        if (c.size() < 2) Die(where + ": a command needs a directory and a program");
      }
    } else if (w[0] == "floor-start" || w[0] == "floor-stop") {
      if (w.size() != 5) Die(where + ": " + w[0] + " LABEL GROUP INSTALL OBJECT_DIR");
      step.kind = w[0] == "floor-start" ? StepKind::floor_start : StepKind::floor_stop;
      const std::optional<mox::GroupId> id = mox::bench::FindGroup(w[2]);
      if (!id) Die(where + ": no group " + w[2]);
      step.group = mox::bench::PrepareGroup(*id, w[3]);
      step.object_dir = w[4];
    } else {
      Die(where + ": unknown directive " + w[0]);
    }
    jobs.back().steps.push_back(std::move(step));
  }
  if (jobs.empty()) Die(path + ": no job");
  return jobs;
}

// Peers this process started for the in-process floor; reaped after their
// stop, outside the timed part.
std::vector<pid_t> g_floor_peers;

void ReapFloorPeers(bool block) {
  std::vector<pid_t> left;
  for (pid_t pid : g_floor_peers) {
    int status;
    const pid_t rc = waitpid(pid, &status, block ? 0 : WNOHANG);
    if (rc == 0) left.push_back(pid);
  }
  g_floor_peers.swap(left);
}

StepResult RunStep(Runner& runner, const Step& step) {
  if (step.kind == StepKind::run) return runner.Run(step.commands);
  setenv("MOX_OBJECT_DIR", step.object_dir.c_str(), 1);
  StepResult result;
  CommandResult c;
  const std::int64_t start = NowNs();
  const bool ok = step.kind == StepKind::floor_start
                      ? mox::bench::StartDirectly(*step.group, g_floor_peers)
                      : mox::bench::StopDirectly(*step.group);
  result.wall_ms = static_cast<double>(NowNs() - start) / 1e6;
  c.wall_ms = result.wall_ms;
  c.status = ok ? 0 : (1 << 8);  // as a wait status: exit code 1
  c.maxrss_kb = -1;
  c.cpu_ms = -1;
  result.commands.push_back(c);
  if (step.kind == StepKind::floor_stop) ReapFloorPeers(false);
  return result;
}

bool Succeeded(const CommandResult& c, int expected_exit) {
  return c.status >= 0 && WIFEXITED(c.status) && WEXITSTATUS(c.status) == expected_exit;
}

std::string Describe(const Step& step, const CommandResult& c) {
  char text[128];
  if (c.status < 0) {
    std::snprintf(text, sizeof text, "spawn failed: %s", std::strerror(-c.status));
  } else if (WIFEXITED(c.status)) {
    std::snprintf(text, sizeof text, "exit code %d", WEXITSTATUS(c.status));
  } else {
    std::snprintf(text, sizeof text, "signal %d", WTERMSIG(c.status));
  }
  std::string what = step.kind == StepKind::run ? step.commands[0][1] : step.label;
  return what + ": " + text;
}

// ---------------------------------------------------------------------------
// compare

int Compare(const Options& o) {
  std::vector<Job> jobs = ReadJobs(o.Get("jobs"));
  const int rounds = o.GetInt("rounds");
  const int warmup = o.GetInt("warmup", "3");
  Runner runner(o.Get("runner"));

  for (int r = -warmup; r < rounds; ++r) {
    const std::size_t n = jobs.size();
    const std::size_t first = static_cast<std::size_t>(r + warmup) % n;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t j = (first + k) % n;
      Job& job = jobs[j];
      // Spread the rounds of an occasional job evenly.
      if ((r + warmup + static_cast<int>(j)) % job.every != 0) continue;
      for (Step& step : job.steps) {
        const StepResult res = RunStep(runner, step);
        if (r < 0) continue;
        double cpu = 0;
        double rss = 0;
        double faults = 0;
        bool failed = false;
        for (const CommandResult& c : res.commands) {
          cpu += c.cpu_ms;
          rss = std::max(rss, static_cast<double>(c.maxrss_kb));
          faults += static_cast<double>(c.minor_faults);
          if (!Succeeded(c, job.expected_exit) && !failed) {
            failed = true;
            if (step.failures++ == 0) step.first_failure = Describe(step, c);
          }
        }
        step.wall_ms.push_back(res.wall_ms);
        step.cpu_ms.push_back(cpu);
        step.maxrss_kb.push_back(rss);
        step.faults.push_back(faults);
        step.rounds.push_back(r);
      }
    }
  }
  ReapFloorPeers(true);
  const long runner_peak = runner.OwnPeakKb();

  const std::string baseline_name = o.Get("baseline", "");
  const Job* baseline = nullptr;
  for (const Job& j : jobs) {
    if (j.name == baseline_name) baseline = &j;
  }
  auto reference_for = [&](const Step& s) -> const Step* {
    if (baseline == nullptr || baseline->steps.empty()) return nullptr;
    for (const Step& b : baseline->steps) {
      if (b.label == s.label) return &b;
    }
    return &baseline->steps.front();
  };

  FILE* tsv = nullptr;
  if (o.values.count("tsv")) {
    tsv = std::fopen(o.Get("tsv").c_str(), "w");
    if (tsv == nullptr) Die("cannot write " + o.Get("tsv"));
    std::fprintf(tsv,
                 "job\tstep\tn\tmedian_ms\tp10_ms\tp90_ms\tp99_ms\tmax_ms\tcpu_ms\tmaxrss_kb\t"
                 "maxrss_max_kb\tminflt\tratio\tpaired_ratio\tfailures\n");
  }
  std::printf("%-20s %-6s %5s %8s %8s %8s %8s %7s %6s %5s %6s %6s\n", "job", "step", "runs",
              "median", "p10", "p90", "p99", "cpu", "rss", "flt", "ratio", "paired");
  std::printf("%-20s %-6s %5s %8s %8s %8s %8s %7s %6s %5s %6s %6s\n", "", "", "", "ms", "ms", "ms",
              "ms", "ms", "KiB", "", "", "");
  int failures = 0;
  for (const Job& job : jobs) {
    for (const Step& s : job.steps) {
      if (s.wall_ms.empty()) continue;
      const Step* ref = reference_for(s);
      double ratio = 0;
      double paired = 0;
      if (ref != nullptr && !ref->wall_ms.empty()) {
        ratio = Median(s.wall_ms) / Median(ref->wall_ms);
        // Against the baseline of the same round, where both ran in it.
        std::map<int, double> by_round;
        for (std::size_t i = 0; i < ref->rounds.size(); ++i) {
          by_round[ref->rounds[i]] = ref->wall_ms[i];
        }
        std::vector<double> ratios;
        for (std::size_t i = 0; i < s.rounds.size(); ++i) {
          const auto it = by_round.find(s.rounds[i]);
          if (it != by_round.end() && it->second > 0) ratios.push_back(s.wall_ms[i] / it->second);
        }
        paired = Median(ratios);
      }
      // Steps done inside this process have no figures of their own.
      const bool own_process = s.kind == StepKind::run;
      const double cpu = own_process ? Median(s.cpu_ms) : -1;
      const double rss = own_process ? Median(s.maxrss_kb) : -1;
      const double rss_max =
          own_process ? *std::max_element(s.maxrss_kb.begin(), s.maxrss_kb.end()) : -1;
      const double faults = own_process ? Median(s.faults) : -1;
      std::printf("%-20s %-6s %5zu %8.3f %8.3f %8.3f %8.3f", job.name.c_str(), s.label.c_str(),
                  s.wall_ms.size(), Median(s.wall_ms), Quantile(s.wall_ms, 0.1),
                  Quantile(s.wall_ms, 0.9), Quantile(s.wall_ms, 0.99));
      if (own_process) {
        std::printf(" %7.3f %6.0f %5.0f", cpu, rss, faults);
      } else {
        std::printf(" %7s %6s %5s", "-", "-", "-");
      }
      if (ref != nullptr) {
        std::printf(" %6.3f %6.3f", ratio, paired);
      } else {
        std::printf(" %6s %6s", "-", "-");
      }
      std::printf("%s\n", s.failures > 0 ? "  FAILED" : "");
      if (s.failures > 0) {
        std::printf("    %d failed runs, first: %s\n", s.failures, s.first_failure.c_str());
        failures += s.failures;
      }
      if (tsv != nullptr) {
        std::fprintf(
            tsv,
            "%s\t%s\t%zu\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.0f\t%.0f\t%.0f\t%.4f\t%.4f\t%"
            "d\n",
            job.name.c_str(), s.label.c_str(), s.wall_ms.size(), Median(s.wall_ms),
            Quantile(s.wall_ms, 0.1), Quantile(s.wall_ms, 0.9), Quantile(s.wall_ms, 0.99),
            *std::max_element(s.wall_ms.begin(), s.wall_ms.end()), cpu, rss, rss_max, faults, ratio,
            paired, s.failures);
      }
    }
  }
  std::printf("(the runner's own peak: %ld KiB, a floor under every rss figure)\n", runner_peak);
  if (tsv != nullptr) {
    std::fprintf(tsv, "runner\tself\t1\t0\t0\t0\t0\t0\t0\t%ld\t%ld\t0\t0\t0\t0\n", runner_peak,
                 runner_peak);
    std::fclose(tsv);
  }
  return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// once

int Once(const Options& o) {
  std::vector<Job> jobs = ReadJobs(o.Get("jobs"));
  Runner runner(o.Get("runner"));
  FILE* tsv = nullptr;
  if (o.values.count("tsv")) {
    tsv = std::fopen(o.Get("tsv").c_str(), "w");
    if (tsv == nullptr) Die("cannot write " + o.Get("tsv"));
    std::fprintf(tsv,
                 "job\tstep\tcommand\twall_ms\tcpu_ms\tmaxrss_kb\tminflt\tnvcsw\tnivcsw\tok\n");
  }
  int failures = 0;
  std::printf("%-12s %-6s %-20s %9s %8s %7s %5s %5s %5s %s\n", "job", "step", "command", "wall ms",
              "cpu ms", "rss KiB", "flt", "vcsw", "ivcsw", "status");
  for (Job& job : jobs) {
    for (Step& step : job.steps) {
      const StepResult res = RunStep(runner, step);
      for (std::size_t i = 0; i < res.commands.size(); ++i) {
        const CommandResult& c = res.commands[i];
        // The program's base name and its arguments.
        std::string what = step.label;
        if (step.kind == StepKind::run) {
          const auto& words = step.commands[i];
          std::size_t w = 1;
          while (w + 1 < words.size() && words[w].find('=') != std::string::npos) ++w;
          what = words[w].substr(words[w].rfind('/') + 1);
          for (++w; w < words.size(); ++w) what += ' ' + words[w];
        }
        const bool ok = Succeeded(c, job.expected_exit);
        std::printf("%-12s %-6s %-20s %9.1f %8.3f %7ld %5ld %5ld %5ld %s\n", job.name.c_str(),
                    step.label.c_str(), what.c_str(), c.wall_ms, c.cpu_ms, c.maxrss_kb,
                    c.minor_faults, c.voluntary_switches, c.involuntary_switches,
                    ok ? "ok" : Describe(step, c).c_str());
        if (tsv != nullptr) {
          std::fprintf(tsv, "%s\t%s\t%s\t%.3f\t%.4f\t%ld\t%ld\t%ld\t%ld\t%d\n", job.name.c_str(),
                       step.label.c_str(), what.c_str(), c.wall_ms, c.cpu_ms, c.maxrss_kb,
                       c.minor_faults, c.voluntary_switches, c.involuntary_switches, ok ? 1 : 0);
        }
        if (!ok) ++failures;
      }
    }
  }
  if (tsv != nullptr) std::fclose(tsv);
  return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// wake

// The system call a process sleeps in, from /proc/PID/syscall: its number,
// or -1 while it runs or is runnable.
long BlockedInSyscall(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[64] = "";
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0 || text[0] < '0' || text[0] > '9') return -1;
  return std::strtol(text, nullptr, 10);
}

// Polls (this is the measuring side, not the product) until the process
// sleeps in futex, that is in the controller's wait.
bool UntilAsleepInFutex(pid_t pid) {
  const std::int64_t give_up = NowNs() + 5'000'000'000;
  while (NowNs() < give_up) {
    if (BlockedInSyscall(pid) == SYS_futex) return true;
    SleepNs(20'000);
  }
  return false;
}

// One command whose wake is measured: it must reset the group's stop events
// and wait for all of them, as a stop command does.
struct WakeTarget {
  std::string name;
  bool pipe = false;               // woken by a byte on its standard input instead
  std::vector<std::string> words;  // program and arguments
  std::vector<double> latency_us;  // to its end, as its parent sees it
  std::vector<double> exit_us;     // to its call of exit, in the traced rounds
};

// Traced rounds stop the command when it calls exit (PTRACE_O_TRACEEXIT),
// before the kernel tears the process down: the time to that stop is the
// command's own part of the latency. Nothing else of it is traced.
void TraceExit(pid_t pid) {
  if (ptrace(PTRACE_SEIZE, pid, nullptr, PTRACE_O_TRACEEXIT) != 0) {
    Die(std::string("ptrace: ") + std::strerror(errno));
  }
}

struct Ending {
  std::int64_t exit_called_ns = 0;  // traced only
  std::int64_t ended_ns = 0;
  int status = 0;
};

Ending AwaitEnd(pid_t pid, bool traced) {
  Ending e;
  if (traced) {
    int status;
    if (waitpid(pid, &status, 0) != pid) Die("waitpid failed");
    e.exit_called_ns = NowNs();
    if (!WIFSTOPPED(status) || (status >> 8) != (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      Die("the traced command did not stop at its exit");
    }
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
  }
  if (waitpid(pid, &e.status, 0) != pid) Die("waitpid failed");
  e.ended_ns = NowNs();
  return e;
}

void Record(WakeTarget& t, std::int64_t acknowledged, const Ending& e, bool traced) {
  if (traced) {
    t.exit_us.push_back(static_cast<double>(e.exit_called_ns - acknowledged) / 1e3);
  } else {
    t.latency_us.push_back(static_cast<double>(e.ended_ns - acknowledged) / 1e3);
  }
}

std::vector<WakeTarget> ReadWakeTargets(const std::string& path) {
  std::ifstream in(path);
  if (!in) Die("cannot read " + path);
  std::vector<WakeTarget> targets;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    WakeTarget t;
    if (!(words >> t.name)) continue;
    for (std::string w; words >> w;) t.words.push_back(w);
    if (!t.words.empty() && t.words.front() == "pipe") {
      t.pipe = true;
      t.words.erase(t.words.begin());
    }
    if (t.words.empty()) Die(path + ": " + t.name + " has no program");
    targets.push_back(std::move(t));
  }
  if (targets.empty()) Die(path + ": no command");
  return targets;
}

// One round of the floor: the program sleeps in a read of its standard
// input, and the byte written there stands for the last acknowledgement.
void MeasurePipeWake(WakeTarget& t, bool traced, bool keep) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Die("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  std::vector<char*> argv;
  for (std::string& w : t.words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (rc != 0) Die("cannot start " + t.words[0] + ": " + std::strerror(rc));
  if (traced) TraceExit(pid);
  const std::int64_t give_up = NowNs() + 5'000'000'000;
  while (BlockedInSyscall(pid) != SYS_read) {
    if (NowNs() > give_up) Die(t.name + " did not wait");
    SleepNs(20'000);
  }
  const std::int64_t written = NowNs();
  if (write(fds[1], "x", 1) != 1) Die("write");
  const Ending e = AwaitEnd(pid, traced);
  close(fds[1]);
  if (!WIFEXITED(e.status) || WEXITSTATUS(e.status) != 0) Die(t.name + " failed");
  if (keep) Record(t, written, e, traced);
}

// One round: starts the command, plays the peers' part once it waits, and
// returns the time from the last acknowledgement to the command's end.
void MeasureWake(WakeTarget& t, const std::vector<EventHandle>& stops,
                 const posix_spawn_file_actions_t* actions, bool traced, bool keep) {
  if (t.pipe) {
    MeasurePipeWake(t, traced, keep);
    return;
  }
  mox::PeerObjects& objects = mox::PlatformPeerObjects();
  for (EventHandle e : stops) {
    if (!objects.SetEvent(e)) Die("set failed");
  }
  std::vector<char*> argv;
  for (std::string& w : t.words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ);
  if (rc != 0) Die("cannot start " + t.words[0] + ": " + std::strerror(rc));
  if (traced) TraceExit(pid);
  // The request: every stop event reset by the command.
  for (EventHandle e : stops) {
    if (objects.WaitUntilReset(e, 5000) != mox::ResetWait::reset) Die("no stop request came");
  }
  if (!UntilAsleepInFutex(pid)) Die(t.name + " did not wait");
  // All acknowledgements but the last, each followed by the command going
  // back to sleep on the next event.
  for (std::size_t i = 0; i + 1 < stops.size(); ++i) {
    if (!objects.SetEvent(stops[i])) Die("set failed");
    if (!UntilAsleepInFutex(pid)) Die(t.name + " did not wait again");
  }
  const std::int64_t acknowledged = NowNs();
  if (!objects.SetEvent(stops.back())) Die("set failed");
  const Ending e = AwaitEnd(pid, traced);
  if (!WIFEXITED(e.status) || WEXITSTATUS(e.status) != 0) Die(t.name + " failed");
  if (keep) Record(t, acknowledged, e, traced);
}

int Wake(const Options& o) {
  const std::string install = o.Get("install");
  const int rounds = o.GetInt("rounds");
  const int warmup = o.GetInt("warmup", "5");
  const std::optional<mox::GroupId> id = mox::bench::FindGroup(o.Get("group"));
  if (!id) Die("no group " + o.Get("group"));
  std::vector<WakeTarget> targets = ReadWakeTargets(o.Get("commands"));

  // The peers' side of the stop handshake, held for the whole run: each
  // stop event stays open and is set again at the start of a round.
  std::vector<EventHandle> stops;
  for (mox::PeerId member : mox::members(mox::group(*id))) {
    const EventHandle e =
        mox::PlatformPeerObjects().CreateOrOpenEvent(mox::peer(member).stop_event_name, true, true);
    if (!e) Die("cannot create the stop events");
    stops.push_back(e);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, install.c_str());
  for (int r = -warmup; r < rounds; ++r) {
    const std::size_t first = static_cast<std::size_t>(r + warmup) % targets.size();
    for (std::size_t k = 0; k < targets.size(); ++k) {
      WakeTarget& t = targets[(first + k) % targets.size()];
      MeasureWake(t, stops, &actions, false, r >= 0);
      MeasureWake(t, stops, &actions, true, r >= 0);
    }
  }
  posix_spawn_file_actions_destroy(&actions);

  FILE* tsv = nullptr;
  if (o.values.count("tsv")) {
    tsv = std::fopen(o.Get("tsv").c_str(), "w");
    if (tsv == nullptr) Die("cannot write " + o.Get("tsv"));
  }
  std::printf(
      "from the last acknowledgement (%s, %zu members) to the command's end as its\n"
      "parent sees it, and (traced rounds) to the command's call of exit:\n",
      o.Get("group").c_str(), stops.size());
  std::printf("%-16s %5s %8s %8s %8s %8s %8s | %8s %8s %8s\n", "command", "runs", "end", "p10",
              "p90", "p99", "max", "exit", "p90", "p99");
  std::printf("%-16s %5s %8s %8s %8s %8s %8s | %8s %8s %8s\n", "", "", "us", "us", "us", "us", "us",
              "us", "us", "us");
  if (tsv != nullptr) {
    std::fprintf(tsv,
                 "command\trounds\tmedian_us\tp10_us\tp90_us\tp99_us\tmax_us\texit_median_us\t"
                 "exit_p90_us\texit_p99_us\n");
  }
  for (const WakeTarget& t : targets) {
    const std::vector<double>& l = t.latency_us;
    const std::vector<double>& x = t.exit_us;
    const double max = *std::max_element(l.begin(), l.end());
    std::printf("%-16s %5zu %8.1f %8.1f %8.1f %8.1f %8.1f | %8.1f %8.1f %8.1f\n", t.name.c_str(),
                l.size(), Median(l), Quantile(l, 0.1), Quantile(l, 0.9), Quantile(l, 0.99), max,
                Median(x), Quantile(x, 0.9), Quantile(x, 0.99));
    if (tsv != nullptr) {
      std::fprintf(tsv, "%s\t%zu\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\n", t.name.c_str(),
                   l.size(), Median(l), Quantile(l, 0.1), Quantile(l, 0.9), Quantile(l, 0.99), max,
                   Median(x), Quantile(x, 0.9), Quantile(x, 0.99));
    }
  }
  if (tsv != nullptr) std::fclose(tsv);
  return 0;
}

// ---------------------------------------------------------------------------
// What the run leaves behind.

std::vector<pid_t> LiveChildren() {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(getpid()));
  std::ifstream in(path);
  std::vector<pid_t> pids;
  for (long pid; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

// Children still running after a grace of a second: a stopped peer
// acknowledges just before it ends, so the last ones may need a moment.
std::vector<pid_t> ChildrenLeft() {
  for (int i = 0; i < 100; ++i) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (LiveChildren().empty()) return {};
    SleepNs(10'000'000);
  }
  return LiveChildren();
}

}  // namespace

int main(int argc, char** argv) {
  // Orphans (peers whose controller has ended) come back here rather than
  // to init, so the run can check that it leaves nothing behind.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const Options o = ParseOptions(argc, argv);
  int rc;
  if (o.mode == "compare") {
    rc = Compare(o);
  } else if (o.mode == "once") {
    rc = Once(o);
  } else if (o.mode == "wake") {
    rc = Wake(o);
  } else {
    Die("unknown mode " + o.mode);
  }
  ReapFloorPeers(true);
  const std::vector<pid_t> left = ChildrenLeft();
  for (pid_t pid : left) {
    std::fprintf(stderr, "process_bench: process %d was left running; killed\n",
                 static_cast<int>(pid));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::fflush(stdout);
  return rc != 0 ? rc : (left.empty() ? 0 : 3);
}
