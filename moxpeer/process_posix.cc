#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "moxpeer/process.h"
#include "platform/command_line.h"

extern char** environ;

namespace mox::moxpeer {

std::string OwnBaseName(const char* argv0) {
  if (argv0 == nullptr) return {};
  const std::string_view path(argv0);
  // A launch may hand over the installation's Windows-style path as it is.
  const auto slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void IgnoreTerminalHangup() {
  ::signal(SIGHUP, SIG_IGN);
}

// The watcher thread learns of the end with waitid(WNOWAIT), marks it under
// the lock, and only then reaps. Stop signals only while the end is not
// marked, so a signal can never reach a process that has taken over the
// reaped pid.
struct ChildProcess::State {
  pid_t pid = -1;
  std::function<void()> on_exit;
  std::mutex mutex;
  std::condition_variable ended_changed;
  bool ended = false;
  std::thread watcher;

  void Watch() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    {
      std::lock_guard lock(mutex);
      ended = true;
    }
    ended_changed.notify_all();
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    on_exit();
  }

  // The program leads its own process group, so helpers it started are
  // stopped with it.
  void Signal(int sig) const {
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
  }
};

namespace {

class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawnattr_init(&attr_);
    ::posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Returns 0 or the error number.
  int Prepare() {
    // The peer ignores SIGHUP; its work program should not inherit that.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGHUP);
    sigset_t empty;
    sigemptyset(&empty);
    int rc = ::posix_spawnattr_setflags(
        &attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr_, 0);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &defaults);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr_, &empty);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // A descriptor of the peer's objects left open in the program would keep
    // the peer "running" after the peer itself has gone.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    return rc;
  }

  const posix_spawnattr_t* attr() const {
    return &attr_;
  }
  const posix_spawn_file_actions_t* actions() const {
    return &actions_;
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(std::string_view command,
                                                  std::function<void()> on_exit,
                                                  std::string& error) {
  std::vector<std::string> words = SplitCommandLine(command);
  if (words.empty()) {
    error = "empty command";
    return nullptr;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  pid_t pid = -1;
  int rc = setup.Prepare();
  if (rc == 0) {
    rc = ::posix_spawnp(&pid, argv[0], setup.actions(), setup.attr(), argv.data(), environ);
  }
  if (rc != 0) {
    error = "cannot run '" + words[0] + "': " + std::strerror(rc);
    return nullptr;
  }

  auto state = std::make_unique<State>();
  state->pid = pid;
  state->on_exit = std::move(on_exit);
  state->watcher = std::thread(&State::Watch, state.get());
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(state)));
}

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

ChildProcess::~ChildProcess() {
  Stop(kChildStopGrace);
  state_->watcher.join();
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  std::unique_lock lock(state_->mutex);
  if (state_->ended) return;
  state_->Signal(SIGTERM);
  if (!state_->ended_changed.wait_for(lock, grace, [this] { return state_->ended; })) {
    state_->Signal(SIGKILL);
    state_->ended_changed.wait(lock, [this] { return state_->ended; });
  }
}

}  // namespace mox::moxpeer
