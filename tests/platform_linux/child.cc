#include "child.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/peer_objects.h"
#include "platform/system_ops.h"

extern char** environ;

namespace mox::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

const char* Name(WaitResult r) {
  switch (r) {
    case WaitResult::all_signalled:
      return "all_signalled";
    case WaitResult::timed_out:
      return "timed_out";
    case WaitResult::failed:
      return "failed";
  }
  return "?";
}

// "1" or "0", one character (built so to steer clear of a false -Wrestrict
// in GCC 12's string assignment).
std::string Flag(bool value) {
  return std::string(1, value ? '1' : '0');
}

}  // namespace

std::string SelfExecutable() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  Check(n > 0, "readlink /proc/self/exe");
  return std::string(path, static_cast<std::size_t>(n));
}

Child::Child(const std::vector<std::pair<std::string, std::string>>& env) {
  int in[2];
  int out[2];
  int err[2];
  Check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0,
        "pipe2");
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : env) replaced |= entry.rfind(name + "=", 0) == 0;
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string self = SelfExecutable();
  std::string flag = "--child";
  char* argv[] = {const_cast<char*>(self.c_str()), flag.data(), nullptr};
  posix_spawn_file_actions_t actions;
  Check(::posix_spawn_file_actions_init(&actions) == 0, "file actions");
  ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  const int rc = ::posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  to_child_ = in[1];
  from_child_ = out[0];
  errors_ = err[0];
  errno = rc;
  Check(rc == 0, "posix_spawn child");
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Reap();
  }
  for (int fd : {to_child_, from_child_, errors_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Child::Send(const std::string& command) {
  const std::string line = command + "\n";
  const ssize_t n = ::write(to_child_, line.data(), line.size());
  Check(n == static_cast<ssize_t>(line.size()), "write to child");
}

std::string Child::Receive(int timeout_ms) {
  const auto start = Clock::now();
  for (;;) {
    const std::size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const int left = timeout_ms - static_cast<int>(ElapsedMs(start));
    if (left <= 0) return "<timeout>";
    pollfd p{from_child_, POLLIN, 0};
    const int ready = ::poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "<timeout>";
    char chunk[512];
    const ssize_t n = ::read(from_child_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "<eof>";
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Child::Ask(const std::string& command) {
  Send(command);
  return Receive();
}

void Child::WaitForZombie() {
  siginfo_t info;
  int rc;
  do {
    rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  } while (rc < 0 && errno == EINTR);
  Check(rc == 0, "waitid");
}

void Child::EndAndWaitForZombie() {
  ::close(to_child_);
  to_child_ = -1;
  WaitForZombie();
}

void Child::KillAndWaitForZombie() {
  Check(::kill(pid_, SIGKILL) == 0, "kill");
  WaitForZombie();
}

int Child::Reap() {
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(pid_, &status, 0);
  } while (rc < 0 && errno == EINTR);
  reaped_ = true;
  return status;
}

std::string Child::ReadStderr() {
  std::string text;
  char chunk[512];
  for (;;) {
    const ssize_t n = ::read(errors_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

int RunChildCommands() {
  SystemOps& ops = PlatformSystemOps();
  PeerObjects& peer = PlatformPeerObjects();
  std::map<std::string, MutexHandle> mutexes;
  std::map<std::string, EventHandle> events;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    std::string name;
    in >> command >> name;
    std::string answer;
    if (command == "ping") {
      answer = "pong";
    } else if (command == "hold") {
      mutexes[name] = peer.HoldMutex(name.c_str());
      answer = Flag(static_cast<bool>(mutexes[name]));
    } else if (command == "release") {
      peer.ReleaseMutex(mutexes[name]);
      answer = Flag(true);
    } else if (command == "probe") {
      answer = Flag(ops.IsPeerRunning(name.c_str()));
    } else if (command == "create") {
      int initial = 0;
      in >> initial;
      events[name] = ops.CreateOrOpenEvent(name.c_str(), true, initial != 0);
      answer = Flag(static_cast<bool>(events[name]));
    } else if (command == "open") {
      events[name] = peer.OpenEvent(name.c_str());
      answer = Flag(static_cast<bool>(events[name]));
    } else if (command == "set") {
      answer = Flag(peer.SetEvent(events[name]));
    } else if (command == "reset") {
      answer = Flag(ops.ResetEvent(events[name]));
    } else if (command == "setafter" || command == "resetafter") {
      int ms = 0;
      in >> ms;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      const bool ok =
          command == "setafter" ? peer.SetEvent(events[name]) : ops.ResetEvent(events[name]);
      answer = Flag(ok);
    } else if (command == "state") {
      const EventHandle h = events[name];
      answer = Name(ops.WaitForEvents({&h, 1}, true, 0));
    } else if (command == "wait") {
      // wait <timeout ms> <names...>: wait-all; an unknown name is a null
      // handle.
      const auto timeout = static_cast<std::uint32_t>(std::stoul(name));
      std::vector<EventHandle> handles;
      for (std::string event; in >> event;) handles.push_back(events[event]);
      const auto start = Clock::now();
      const WaitResult r = ops.WaitForEvents(handles, true, timeout);
      answer = std::string(Name(r)) + " " + std::to_string(ElapsedMs(start));
    } else if (command == "alternate") {
      // alternate <a> <b> <ms>: a and b take turns being signalled, never
      // both at once.
      std::string other;
      int ms = 0;
      in >> other >> ms;
      long cycles = 0;
      const auto start = Clock::now();
      while (ElapsedMs(start) < ms) {
        if (!peer.SetEvent(events[name]) || !ops.ResetEvent(events[name]) ||
            !peer.SetEvent(events[other]) || !ops.ResetEvent(events[other])) {
          break;
        }
        ++cycles;
      }
      answer = std::to_string(cycles);
    } else if (command == "close") {
      peer.CloseEvent(events[name]);
      answer = Flag(true);
    } else {
      answer = "unknown command";
    }
    std::cout << answer << std::endl;
  }
  return 0;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mox-platform-test-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  ::nftw(
      path_.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace mox::test
