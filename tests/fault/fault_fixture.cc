#include "fault_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string_view>
#include <thread>

namespace mox::fault {
namespace {

// A fresh pair of output files per run: runs may overlap.
std::pair<fs::path, fs::path> OutputFiles(const fs::path& io) {
  static std::atomic<unsigned> counter{0};
  const std::string n = std::to_string(counter++);
  return {io / ("out." + n), io / ("err." + n)};
}

}  // namespace

bool ValidStatusLetters(const std::string& letters) {
  static constexpr std::string_view kPairs[4] = {"SE", "NF", "NF", "SE"};
  if (letters.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (kPairs[i].find(letters[i]) == std::string_view::npos) return false;
  }
  return true;
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
  ASSERT_NO_FATAL_FAILURE(MakeDirectories("mox-fault"));
  peer_program_ = fs::canonical(MOXPEER_PATH).string();
  const Outcome made = Run({"/bin/bash", MAKE_DEMO_PATH, install_.string(), MOXPEER_PATH}, root_);
  ASSERT_EQ(made.exit_code, 0) << made.err;
}

void Installation::TearDown() {
  support::KillAll(Processes());
  RemoveDirectories();
}

pid_t Installation::Launch(const std::vector<std::string>& args, const fs::path& cwd,
                           const fs::path& out, const fs::path& err,
                           const fs::path& objects) const {
  // The marker that finds the test's processes again, even those run with a
  // different object directory or none.
  std::vector<std::string> set = {"MOX_FAULT_TEST=" + objects_.string()};
  if (!objects.empty()) set.push_back("MOX_OBJECT_DIR=" + objects.string());
  return support::SpawnRedirected(args, cwd, support::EnvironmentWith(set, {"MOX_OBJECT_DIR"}), out,
                                  err);
}

Outcome Installation::Run(const std::vector<std::string>& args, const fs::path& cwd,
                          std::optional<fs::path> objects, milliseconds limit) const {
  const auto [out, err] = OutputFiles(io_);
  const auto start = Clock::now();
  const pid_t pid = Launch(args, cwd, out, err, objects.value_or(objects_));
  return support::Collect(pid, start, out, err, limit);
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
  return support::Collect(running.pid, running.started, running.out, running.err, limit);
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
  return support::ProcessesWith("MOX_FAULT_TEST=" + objects_.string());
}

std::vector<Process> Installation::Peers(const std::string& executable) const {
  std::vector<Process> peers;
  for (Process& p : AllPeers()) {
    if (support::BaseName(p.argv[0]) == executable) peers.push_back(std::move(p));
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
