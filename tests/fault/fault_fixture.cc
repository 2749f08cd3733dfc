#include "fault_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>
#include <thread>

extern char** environ;

namespace mox::fault {
namespace {

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

// A fresh pair of output files per run: runs may overlap.
std::pair<fs::path, fs::path> OutputFiles(const fs::path& io) {
  static std::atomic<unsigned> counter{0};
  const std::string n = std::to_string(counter++);
  return {io / ("out." + n), io / ("err." + n)};
}

}  // namespace

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string StatusLine(const std::string& letters) {
  if (letters.size() != 4) return "(four status letters, not '" + letters + "')";
  return "statusLinks='" + letters.substr(0, 1) + "';statusRechts='" + letters.substr(1, 1) +
         "';statusInfComm='" + letters.substr(2, 1) + "';statusInfProc='" + letters.substr(3, 1) +
         "';";
}

bool ValidStatusLetters(const std::string& letters) {
  static constexpr std::string_view kPairs[4] = {"SE", "NF", "NF", "SE"};
  if (letters.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (kPairs[i].find(letters[i]) == std::string_view::npos) return false;
  }
  return true;
}

bool AwaitEnd(pid_t pid, milliseconds within) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
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

bool InSystemCall(pid_t pid, long number) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/syscall");
  const std::string first = text.substr(0, text.find(' '));
  return !first.empty() && first.find_first_not_of("0123456789") == std::string::npos &&
         std::stol(first) == number;
}

bool WaitUntil(const std::function<bool()>& condition, milliseconds within) {
  const auto deadline = Clock::now() + within;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ScopedFd::~ScopedFd() {
  if (fd_ >= 0) ::close(fd_);
}

ScopedFd HoldHandleByte(const fs::path& path) {
  ScopedFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return fd;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) return ScopedFd();
  return fd;
}

// --- Installation -------------------------------------------------------------

void Installation::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "mox-fault-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
  install_ = root_ / "install";
  objects_ = root_ / "objects";
  io_ = root_ / "io";
  ASSERT_EQ(::mkdir(objects_.c_str(), 0700), 0);
  fs::create_directory(io_);
  peer_program_ = fs::canonical(MOXPEER_PATH).string();
  const Outcome made = Run({"/bin/bash", MAKE_DEMO_PATH, install_.string(), MOXPEER_PATH}, root_);
  ASSERT_EQ(made.exit_code, 0) << made.err;
}

void Installation::TearDown() {
  for (const Process& p : Processes()) {
    ::kill(p.pid, SIGKILL);
    AwaitEnd(p.pid, milliseconds(2000));
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

pid_t Installation::Launch(const std::vector<std::string>& args, const fs::path& cwd,
                           const fs::path& out, const fs::path& err,
                           const fs::path& objects) const {
  // The marker that finds the test's processes again, even those run with a
  // different object directory or none.
  std::vector<std::string> env_strings = {"MOX_FAULT_TEST=" + objects_.string()};
  if (!objects.empty()) env_strings.push_back("MOX_OBJECT_DIR=" + objects.string());
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.rfind("MOX_OBJECT_DIR=", 0) != 0 && entry.rfind("MOX_FAULT_TEST=", 0) != 0) {
      env_strings.emplace_back(entry);
    }
  }
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::vector<std::string> arg_strings = args;
  std::vector<char*> argv;
  for (std::string& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

Outcome Installation::Run(const std::vector<std::string>& args, const fs::path& cwd,
                          std::optional<fs::path> objects, milliseconds limit) const {
  const auto [out, err] = OutputFiles(io_);
  Outcome o;
  const auto start = Clock::now();
  const pid_t pid = Launch(args, cwd, out, err, objects.value_or(objects_));
  if (pid < 0) return o;
  if (!AwaitEnd(pid, limit)) {
    o.hung = true;
    ::kill(pid, SIGKILL);
  }
  o.exit_code = Reap(pid);
  o.took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  o.out = ReadFile(out);
  o.err = ReadFile(err);
  return o;
}

Outcome Installation::Ctl(const std::string& argument, const fs::path& cwd,
                          milliseconds limit) const {
  return Run({MOXCTRL_PATH, argument}, cwd.empty() ? install_ : cwd, std::nullopt, limit);
}

Installation::Running Installation::StartCtl(const std::string& argument) const {
  Running r;
  std::tie(r.out, r.err) = OutputFiles(io_);
  r.started = Clock::now();
  r.pid = Launch({MOXCTRL_PATH, argument}, install_, r.out, r.err, objects_);
  return r;
}

Outcome Installation::Finish(const Running& running, milliseconds limit) const {
  Outcome o;
  if (running.pid < 0) return o;
  if (!AwaitEnd(running.pid, limit)) {
    o.hung = true;
    ::kill(running.pid, SIGKILL);
  }
  o.exit_code = Reap(running.pid);
  o.took = std::chrono::duration_cast<milliseconds>(Clock::now() - running.started);
  o.out = ReadFile(running.out);
  o.err = ReadFile(running.err);
  return o;
}

std::string Installation::Status(const fs::path& cwd) const {
  const Outcome o = Ctl("C", cwd, kPrompt);
  EXPECT_EQ(o.exit_code, 0);
  EXPECT_EQ(o.err, "");
  const std::string letters = ReadFile((cwd.empty() ? install_ : cwd) / "MOXCTRL.DAT");
  EXPECT_EQ(o.out, StatusLine(letters));
  EXPECT_TRUE(ValidStatusLetters(letters)) << letters;
  return letters;
}

std::string Installation::AwaitStatus(const std::string& letters, milliseconds within) const {
  std::string seen;
  WaitUntil([&] { return (seen = Status()) == letters; }, within);
  return seen;
}

void Installation::SetParameters(const std::string& relative, const std::string& text) const {
  WriteFile(install_ / relative, text);
}

std::vector<Process> Installation::Processes() const {
  const std::string marker = "MOX_FAULT_TEST=" + objects_.string();
  std::vector<Process> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    const std::vector<std::string> env = SplitNuls(ReadFile(entry.path() / "environ"));
    if (std::find(env.begin(), env.end(), marker) == env.end()) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z') continue;
    Process p;
    p.pid = pid;
    std::error_code link_error;
    p.exe = fs::read_symlink(entry.path() / "exe", link_error).string();
    p.argv = SplitNuls(ReadFile(entry.path() / "cmdline"));
    found.push_back(std::move(p));
  }
  return found;
}

std::vector<Process> Installation::Peers(const std::string& executable) const {
  std::vector<Process> peers;
  for (Process& p : AllPeers()) {
    if (BaseName(p.argv[0]) == executable) peers.push_back(std::move(p));
  }
  return peers;
}

std::vector<Process> Installation::AllPeers() const {
  std::vector<Process> peers;
  for (Process& p : Processes()) {
    if (p.exe == peer_program_ && !p.argv.empty()) peers.push_back(std::move(p));
  }
  return peers;
}

Process Installation::OnePeer(const std::string& executable) const {
  std::vector<Process> peers = Peers(executable);
  EXPECT_EQ(peers.size(), 1u) << executable;
  return peers.empty() ? Process{} : peers.front();
}

std::optional<std::uint32_t> Installation::EventWord(const std::string& event_name) const {
  const std::string bytes = ReadFile(objects_ / (event_name + ".event"));
  if (bytes.size() != 64 || bytes.compare(0, 8, "MOXEVENT") != 0) return std::nullopt;
  std::uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = (word << 8) | static_cast<unsigned char>(bytes[16 + i]);
  return word;
}

bool Installation::EventSignalled(const std::string& event_name) const {
  const std::optional<std::uint32_t> word = EventWord(event_name);
  return word && (*word & 1u) != 0;
}

}  // namespace mox::fault
