// Measures the Linux platform layer with real processes:
//   - wake latency: from the start of SetEvent in one process to the return
//     of a wait-all in another (median and tail, over many rounds);
//   - the CPU an idle wait costs (3 s, and 30 s with --long);
//   - the cost of a mutex probe, of opening an existing event and of a set
//     plus reset.
// Objects live in a fresh directory under /dev/shm unless MOX_OBJECT_DIR is
// set.

#include <ftw.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/peer_objects.h"
#include "platform/system_ops.h"

namespace {

using mox::EventHandle;
using mox::WaitResult;

std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double CpuUs() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

long ContextSwitches() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

void Die(const char* what) {
  std::fprintf(stderr, "benchmark failed: %s\n", what);
  std::exit(1);
}

// Runs `body` `count` times and returns the mean time per run in ns.
template <class F>
double MeanNs(int count, F&& body) {
  const std::int64_t start = NowNs();
  for (int i = 0; i < count; ++i) body();
  return static_cast<double>(NowNs() - start) / count;
}

struct Shared {
  std::int64_t set_started_ns;
  std::array<std::int64_t, 100000> latency_ns;
};

double Percentile(std::vector<std::int64_t>& v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()));
  return static_cast<double>(v[i]) / 1000.0;
}

// Ping-pong between this process and a forked one. The other process waits
// (wait-all over "Ping" and an event that is always set, as the controller
// waits for a group), notes when its wait returned, resets "Ping" and sets
// "Pong". Both sides sleep in between, as a real controller and peer do.
void WakeLatency(int rounds) {
  auto* shared = static_cast<Shared*>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (shared == MAP_FAILED) Die("mmap");
  rounds = std::min<int>(rounds, static_cast<int>(shared->latency_ns.size()));
  mox::SystemOps& ops = mox::PlatformSystemOps();
  mox::PeerObjects& peer = mox::PlatformPeerObjects();
  const EventHandle ping = ops.CreateOrOpenEvent("BenchPing", true, false);
  const EventHandle pong = ops.CreateOrOpenEvent("BenchPong", true, false);
  const EventHandle ready = ops.CreateOrOpenEvent("BenchReady", true, true);
  if (!ping || !pong || !ready) Die("events");

  const pid_t child = fork();
  if (child < 0) Die("fork");
  if (child == 0) {
    // Handles of its own, as a separate program would have.
    const EventHandle my_ping = ops.CreateOrOpenEvent("BenchPing", true, false);
    const EventHandle my_pong = ops.CreateOrOpenEvent("BenchPong", true, false);
    const EventHandle my_ready = ops.CreateOrOpenEvent("BenchReady", true, false);
    const std::array<EventHandle, 2> group{my_ping, my_ready};
    for (int i = 0; i < rounds; ++i) {
      if (ops.WaitForEvents(group, true, 10000) != WaitResult::all_signalled) _exit(1);
      shared->latency_ns[i] = NowNs() - shared->set_started_ns;
      if (!ops.ResetEvent(my_ping) || !peer.SetEvent(my_pong)) _exit(1);
    }
    _exit(0);
  }
  for (int i = 0; i < rounds; ++i) {
    if (!ops.ResetEvent(pong)) Die("reset");
    shared->set_started_ns = NowNs();
    if (!peer.SetEvent(ping)) Die("set");
    if (ops.WaitForEvents({&pong, 1}, true, 10000) != WaitResult::all_signalled) Die("pong");
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("partner process");
  std::vector<std::int64_t> v(shared->latency_ns.begin(), shared->latency_ns.begin() + rounds);
  const double max_us = static_cast<double>(*std::max_element(v.begin(), v.end())) / 1000.0;
  std::printf("wake latency, SetEvent -> wait-all returns in another process, %d rounds:\n",
              rounds);
  std::printf("  median %.1f us   p90 %.1f us   p99 %.1f us   max %.1f us\n", Percentile(v, 0.5),
              Percentile(v, 0.9), Percentile(v, 0.99), max_us);
  peer.CloseEvent(ping);
  peer.CloseEvent(pong);
  peer.CloseEvent(ready);
  munmap(shared, sizeof(Shared));
}

void IdleWait(std::uint32_t ms) {
  mox::SystemOps& ops = mox::PlatformSystemOps();
  const EventHandle never = ops.CreateOrOpenEvent("BenchNever", true, false);
  const EventHandle other = ops.CreateOrOpenEvent("BenchIdleOther", true, true);
  const std::array<EventHandle, 2> group{other, never};
  const double cpu0 = CpuUs();
  const long cs0 = ContextSwitches();
  const std::int64_t t0 = NowNs();
  const WaitResult r = ops.WaitForEvents(group, true, ms);
  const double wall_ms = static_cast<double>(NowNs() - t0) / 1e6;
  const double cpu = CpuUs() - cpu0;
  const long cs = ContextSwitches() - cs0;
  std::printf("idle wait-all of %u ms: %s after %.2f ms, CPU %.0f us, %ld context switches\n", ms,
              r == WaitResult::timed_out ? "timed out" : "UNEXPECTED RESULT", wall_ms, cpu, cs);
  mox::PlatformPeerObjects().CloseEvent(never);
  mox::PlatformPeerObjects().CloseEvent(other);

  // For comparison: the same time spent in a plain sleep.
  const double sleep_cpu0 = CpuUs();
  const timespec length{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&length, nullptr);
  std::printf("  (a plain nanosleep of %u ms: CPU %.0f us)\n", ms, CpuUs() - sleep_cpu0);
}

void Costs() {
  mox::SystemOps& ops = mox::PlatformSystemOps();
  mox::PeerObjects& peer = mox::PlatformPeerObjects();
  constexpr int kProbes = 200000;
  bool sink = false;
  const double absent = MeanNs(kProbes, [&] { sink ^= ops.IsPeerRunning("BenchNoSuchPeer_MTX"); });
  const mox::MutexHandle left = peer.HoldMutex("BenchLeftBehind_MTX");
  peer.ReleaseMutex(left);
  const double stale = MeanNs(kProbes, [&] { sink ^= ops.IsPeerRunning("BenchLeftBehind_MTX"); });
  const mox::MutexHandle held = peer.HoldMutex("BenchHeld_MTX");
  if (!held) Die("hold");
  const double present = MeanNs(kProbes, [&] { sink ^= ops.IsPeerRunning("BenchHeld_MTX"); });
  peer.ReleaseMutex(held);
  std::printf(
      "probe: absent (no file) %.2f us, absent (file left behind) %.2f us, present %.2f us\n",
      absent / 1000, stale / 1000, present / 1000);

  const EventHandle keep = ops.CreateOrOpenEvent("BenchOpen", true, false);
  // In batches of a few handles, as in real use: every handle's lock sits in
  // one list per file, which the kernel walks.
  double open = 0;
  double close = 0;
  constexpr int kBatches = 2000;
  for (int batch = 0; batch < kBatches; ++batch) {
    std::array<EventHandle, 4> opened;
    open += MeanNs(static_cast<int>(opened.size()), [&, i = 0]() mutable {
      opened[i] = ops.CreateOrOpenEvent("BenchOpen", true, true);
      if (!opened[i++]) Die("open");
    });
    close += MeanNs(static_cast<int>(opened.size()),
                    [&, i = 0]() mutable { peer.CloseEvent(opened[i++]); });
  }
  open /= kBatches;
  close /= kBatches;
  const double create = MeanNs(20000, [&] {
    const EventHandle h = ops.CreateOrOpenEvent("BenchCreate", true, true);
    if (!h) Die("create");
    peer.CloseEvent(h);
  });
  const double set_reset = MeanNs(200000, [&] {
    if (!peer.SetEvent(keep) || !ops.ResetEvent(keep)) Die("set/reset");
  });
  peer.CloseEvent(keep);
  std::printf(
      "open an existing event %.2f us, close it %.2f us, create a new one + close %.2f us\n",
      open / 1000, close / 1000, create / 1000);
  std::printf("set + reset (both changing the state) %.2f us\n", set_reset / 1000);
  if (sink) std::printf(" ");
}

}  // namespace

int main(int argc, char** argv) {
  bool long_wait = false;
  int rounds = 20000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--long") == 0) {
      long_wait = true;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--long] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  std::string dir;
  if (const char* env = std::getenv("MOX_OBJECT_DIR"); env == nullptr || *env == '\0') {
    char pattern[] = "/dev/shm/mox-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
    dir = pattern;
    setenv("MOX_OBJECT_DIR", (dir + "/objects").c_str(), 1);
  }
  utsname u;
  uname(&u);
  std::printf("machine: %ld CPUs, %s %s %s\n", sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release,
              u.machine);
  std::printf("objects in %s\n\n", std::getenv("MOX_OBJECT_DIR"));
  Costs();
  WakeLatency(rounds);
  IdleWait(3000);
  if (long_wait) IdleWait(30000);
  if (!dir.empty()) {
    nftw(
        dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
        16, FTW_DEPTH | FTW_PHYS);
  }
  return 0;
}
