#include "process_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>
#include <thread>

extern char** environ;

namespace mox::support {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string_view NameOf(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> SplitNuls(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\0', start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

std::string BaseName(const std::string& path) {
  return fs::path(path).filename().string();
}

std::string StatusLine(const std::string& letters) {
  if (letters.size() != 4) return "(four status letters, not '" + letters + "')";
  return "statusLinks='" + letters.substr(0, 1) + "';statusRechts='" + letters.substr(1, 1) +
         "';statusInfComm='" + letters.substr(2, 1) + "';statusInfProc='" + letters.substr(3, 1) +
         "';";
}

bool Ended(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
}

bool AwaitEnd(pid_t pid, milliseconds within) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0 && errno == ENOSYS) {  // a kernel before 5.3
    for (auto end = Clock::now() + within; !Ended(pid);
         std::this_thread::sleep_for(milliseconds(5))) {
      if (Clock::now() > end) return false;
    }
    return true;
  }
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(within.count()));
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready == 1;
}

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset) {
  std::vector<std::string_view> names(unset.begin(), unset.end());
  for (const std::string& entry : set) names.push_back(NameOf(entry));
  std::vector<std::string> env = set;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::find(names.begin(), names.end(), NameOf(*e)) == names.end()) env.emplace_back(*e);
  }
  return env;
}

pid_t SpawnRedirected(const std::vector<std::string>& args, const fs::path& cwd,
                      const std::vector<std::string>& env, const fs::path& out,
                      const fs::path& err) {
  std::vector<std::string> arg_strings = args;
  std::vector<std::string> env_strings = env;
  const std::vector<char*> argv = Pointers(arg_strings);
  const std::vector<char*> envp = Pointers(env_strings);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

Outcome Collect(pid_t pid, Clock::time_point started, const fs::path& out, const fs::path& err,
                std::optional<milliseconds> limit) {
  Outcome o;
  if (pid < 0) return o;
  if (limit && !AwaitEnd(pid, *limit)) {
    o.hung = true;
    ::kill(pid, SIGKILL);
  }
  o.exit_code = Reap(pid);
  o.took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
  o.out = ReadFile(out);
  o.err = ReadFile(err);
  return o;
}

std::vector<Process> ProcessesWith(const std::string& env_entry) {
  std::vector<Process> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    const std::vector<std::string> env = SplitNuls(ReadFile(entry.path() / "environ"));
    if (std::find(env.begin(), env.end(), env_entry) == env.end()) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 4 >= stat.size() || stat[paren + 2] == 'Z') continue;
    Process p;
    p.pid = pid;
    p.parent = std::stoi(stat.substr(paren + 4));
    std::error_code link_error;
    p.exe = fs::read_symlink(entry.path() / "exe", link_error).string();
    p.cwd = fs::read_symlink(entry.path() / "cwd", link_error);
    p.argv = SplitNuls(ReadFile(entry.path() / "cmdline"));
    found.push_back(std::move(p));
  }
  return found;
}

void KillAll(const std::vector<Process>& processes) {
  for (const Process& p : processes) {
    ::kill(p.pid, SIGKILL);
    AwaitEnd(p.pid, milliseconds(2000));
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace mox::support
