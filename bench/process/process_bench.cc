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
//   process_bench once --runner PATH --jobs FILE
//       Runs every step once and prints each command's figures (for the
//       long idle waits, whose commands run side by side).
//   process_bench wake --moxctrl PATH --install DIR --group NAME --letter L
//                      --rounds N [--tsv FILE]
//       Wake latency of a stop command: this process plays the group's
//       peers, and times from its last acknowledgement to the controller's
//       end.
//
// Job file: one directive a line, blank-separated words, '#' comments.
//
//   job NAME [every=K]        a new job; with every=K it runs in one round of K
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
      if (std::fscanf(from_, "%lld %lld %lld %ld %ld %ld %d", &wall_ns, &user_us, &sys_us,
                      &c.maxrss_kb, &c.voluntary_switches, &c.involuntary_switches,
                      &c.status) != 7) {
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
  std::vector<double> wall_ms, cpu_ms, maxrss_kb;
  std::vector<int> rounds;
  int failures = 0;
  std::string first_failure;
};

struct Job {
  std::string name;
  int every = 1;
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
      Job job{w[1], 1, {}};
      for (std::size_t i = 2; i < w.size(); ++i) {
        if (w[i].rfind("every=", 0) == 0) job.every = std::max(1, std::atoi(w[i].c_str() + 6));
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
  c.status = ok ? 0 : 1;
  c.maxrss_kb = -1;
  c.cpu_ms = -1;
  result.commands.push_back(c);
  if (step.kind == StepKind::floor_stop) ReapFloorPeers(false);
  return result;
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
        bool failed = false;
        for (const CommandResult& c : res.commands) {
          cpu += c.cpu_ms;
          rss = std::max(rss, static_cast<double>(c.maxrss_kb));
          if (c.status != 0 && !failed) {
            failed = true;
            if (step.failures++ == 0) step.first_failure = Describe(step, c);
          }
        }
        step.wall_ms.push_back(res.wall_ms);
        step.cpu_ms.push_back(cpu);
        step.maxrss_kb.push_back(rss);
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
                 "maxrss_max_kb\tratio\tpaired_ratio\tfailures\n");
  }
  std::printf("%-22s %-8s %5s %9s %9s %9s %9s %9s %8s %8s %8s %7s %7s\n", "job", "step", "n",
              "median", "p10", "p90", "p99", "max", "cpu", "rss", "rss max", "ratio", "paired");
  std::printf("%-22s %-8s %5s %9s %9s %9s %9s %9s %8s %8s %8s %7s %7s\n", "", "", "", "ms", "ms",
              "ms", "ms", "ms", "ms", "KiB", "KiB", "", "");
  int failures = 0;
  for (const Job& job : jobs) {
    for (const Step& s : job.steps) {
      const Step* ref = reference_for(s);
      double ratio = 0;
      double paired = 0;
      if (ref != nullptr && !ref->wall_ms.empty() && !s.wall_ms.empty()) {
        ratio = Median(s.wall_ms) / Median(ref->wall_ms);
        // The same round's baseline, where both ran in it.
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
      const bool measured_memory = s.kind == StepKind::run;
      const double cpu = measured_memory ? Median(s.cpu_ms) : -1;
      const double rss = measured_memory ? Median(s.maxrss_kb) : -1;
      const double rss_max =
          measured_memory ? *std::max_element(s.maxrss_kb.begin(), s.maxrss_kb.end()) : -1;
      std::printf("%-22s %-8s %5zu %9.3f %9.3f %9.3f %9.3f %9.3f", job.name.c_str(),
                  s.label.c_str(), s.wall_ms.size(), Median(s.wall_ms), Quantile(s.wall_ms, 0.1),
                  Quantile(s.wall_ms, 0.9), Quantile(s.wall_ms, 0.99),
                  *std::max_element(s.wall_ms.begin(), s.wall_ms.end()));
      if (measured_memory) {
        std::printf(" %8.3f %8.0f %8.0f", cpu, rss, rss_max);
      } else {
        std::printf(" %8s %8s %8s", "-", "-", "-");
      }
      if (ref != nullptr) {
        std::printf(" %7.3f %7.3f", ratio, paired);
      } else {
        std::printf(" %7s %7s", "-", "-");
      }
      std::printf("%s\n", s.failures > 0 ? "  FAILED" : "");
      if (s.failures > 0) {
        std::printf("    %d failed runs, first: %s\n", s.failures, s.first_failure.c_str());
        failures += s.failures;
      }
      if (tsv != nullptr) {
        std::fprintf(
            tsv, "%s\t%s\t%zu\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.0f\t%.0f\t%.4f\t%.4f\t%d\n",
            job.name.c_str(), s.label.c_str(), s.wall_ms.size(), Median(s.wall_ms),
            Quantile(s.wall_ms, 0.1), Quantile(s.wall_ms, 0.9), Quantile(s.wall_ms, 0.99),
            *std::max_element(s.wall_ms.begin(), s.wall_ms.end()), cpu, rss, rss_max, ratio, paired,
            s.failures);
      }
    }
  }
  std::printf("(the runner's own peak: %ld KiB, a floor under every rss figure)\n", runner_peak);
  if (tsv != nullptr) {
    std::fprintf(tsv, "runner\tself\t1\t0\t0\t0\t0\t0\t0\t%ld\t%ld\t0\t0\t0\n", runner_peak,
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
  int failures = 0;
  std::printf("%-22s %-8s %-28s %9s %9s %8s %6s %6s %s\n", "job", "step", "command", "wall ms",
              "cpu ms", "rss KiB", "vcsw", "ivcsw", "status");
  for (Job& job : jobs) {
    for (Step& step : job.steps) {
      const StepResult res = RunStep(runner, step);
      for (std::size_t i = 0; i < res.commands.size(); ++i) {
        const CommandResult& c = res.commands[i];
        std::string what = step.label;
        if (step.kind == StepKind::run) {
          const auto& words = step.commands[i];
          what.clear();
          for (std::size_t w = 1; w < words.size(); ++w) {
            if (words[w].find('=') != std::string::npos && what.empty()) continue;
            const std::size_t slash = words[w].rfind('/');
            if (!what.empty()) what += ' ';
            what +=
                what.empty() && slash != std::string::npos ? words[w].substr(slash + 1) : words[w];
          }
        }
        std::printf("%-22s %-8s %-28s %9.1f %9.3f %8ld %6ld %6ld %s\n", job.name.c_str(),
                    step.label.c_str(), what.c_str(), c.wall_ms, c.cpu_ms, c.maxrss_kb,
                    c.voluntary_switches, c.involuntary_switches,
                    c.status == 0 ? "ok" : Describe(step, c).c_str());
        if (c.status != 0) ++failures;
      }
    }
  }
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

int Wake(const Options& o) {
  const std::string moxctrl = o.Get("moxctrl");
  const std::string install = o.Get("install");
  const std::string letter = o.Get("letter");
  const int rounds = o.GetInt("rounds");
  const int warmup = o.GetInt("warmup", "5");
  const std::optional<mox::GroupId> id = mox::bench::FindGroup(o.Get("group"));
  if (!id) Die("no group " + o.Get("group"));
  mox::PeerObjects& objects = mox::PlatformPeerObjects();

  // The peers' side of the stop handshake, held for the whole run: each
  // stop event stays open and is set again at the start of a round.
  std::vector<EventHandle> stops;
  for (mox::PeerId member : mox::members(mox::group(*id))) {
    const EventHandle e = objects.CreateOrOpenEvent(mox::peer(member).stop_event_name, true, true);
    if (!e) Die("cannot create the stop events");
    stops.push_back(e);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, install.c_str());
  char* argv[] = {const_cast<char*>(moxctrl.c_str()), const_cast<char*>(letter.c_str()), nullptr};

  std::vector<double> latency_us;
  std::vector<double> set_us;
  for (int r = -warmup; r < rounds; ++r) {
    for (EventHandle e : stops) {
      if (!objects.SetEvent(e)) Die("set failed");
    }
    pid_t pid;
    const int rc = posix_spawn(&pid, moxctrl.c_str(), &actions, nullptr, argv, environ);
    if (rc != 0) Die("cannot start " + moxctrl + ": " + std::strerror(rc));
    // The request: every stop event reset by the controller.
    for (EventHandle e : stops) {
      if (objects.WaitUntilReset(e, 5000) != mox::ResetWait::reset) Die("no stop request came");
    }
    if (!UntilAsleepInFutex(pid)) Die("the controller did not wait");
    // All acknowledgements but the last, each followed by the controller
    // going back to sleep on the next event.
    for (std::size_t i = 0; i + 1 < stops.size(); ++i) {
      if (!objects.SetEvent(stops[i])) Die("set failed");
      if (!UntilAsleepInFutex(pid)) Die("the controller did not wait again");
    }
    const std::int64_t acknowledged = NowNs();
    if (!objects.SetEvent(stops.back())) Die("set failed");
    const std::int64_t set_done = NowNs();
    int status;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
    const std::int64_t ended = NowNs();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("the controller failed");
    if (r < 0) continue;
    latency_us.push_back(static_cast<double>(ended - acknowledged) / 1e3);
    set_us.push_back(static_cast<double>(set_done - acknowledged) / 1e3);
  }
  posix_spawn_file_actions_destroy(&actions);

  std::printf("wake latency of 'moxctrl %s' (%s, %zu members), %d rounds:\n", letter.c_str(),
              o.Get("group").c_str(), stops.size(), rounds);
  std::printf("  from the last acknowledgement to the controller's end (wait4 returned):\n");
  std::printf("    median %.1f us, p10 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
              Median(latency_us), Quantile(latency_us, 0.1), Quantile(latency_us, 0.9),
              Quantile(latency_us, 0.99), *std::max_element(latency_us.begin(), latency_us.end()));
  std::printf("  of which the set itself (lock, store, unlock, wake): median %.1f us\n",
              Median(set_us));
  if (o.values.count("tsv")) {
    FILE* tsv = std::fopen(o.Get("tsv").c_str(), "w");
    if (tsv == nullptr) Die("cannot write " + o.Get("tsv"));
    std::fprintf(tsv, "rounds\tmedian_us\tp10_us\tp90_us\tp99_us\tmax_us\tset_median_us\n");
    std::fprintf(tsv, "%d\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\n", rounds, Median(latency_us),
                 Quantile(latency_us, 0.1), Quantile(latency_us, 0.9), Quantile(latency_us, 0.99),
                 *std::max_element(latency_us.begin(), latency_us.end()), Median(set_us));
    std::fclose(tsv);
  }
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
