// Named mutexes and events for Linux, with the lifetimes Windows gives them,
// and the hidden, detached launch.
//
// Linux has no named kernel objects that vanish with their last handle, so
// they are built from files in one private directory per user
// (docs/objects.md is the protocol, for peers written in other languages):
//
// - Presence and lifetime come from open file description (OFD) locks. Every
//   open handle holds a shared lock on byte 0 of its object's file; the
//   kernel drops it when the handle's descriptor closes, crash included. An
//   object exists exactly while some process holds that lock. Classic POSIX
//   record locks would not do (closing any descriptor of the file drops
//   them), and flock() locks cannot be tested without taking them.
// - An event's state is a 32-bit word in the file, mapped shared. Waiters
//   sleep on it with a shared futex, so a set from any process wakes them
//   without polling. Every change adds one to the word: bit 0 is the state,
//   and a waiter that reads the same value twice knows nothing happened in
//   between.
// - Files are never removed: removing races with a concurrent open, and a
//   file nobody locks is simply an object that does not exist.
//
// The directory is found from the environment at each operation and opened
// once per path, on first use, so a command that ends with a usage error
// never touches it.

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_line.h"
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

extern char** environ;

namespace mox {
namespace {

// ---------------------------------------------------------------------------
// Layout of an event file. Mutex files have no content.

constexpr char kEventMagic[8] = {'M', 'O', 'X', 'E', 'V', 'E', 'N', 'T'};
constexpr std::uint32_t kEventVersion = 1;
constexpr std::uint32_t kKindManualReset = 1;
constexpr std::size_t kEventFileSize = 64;
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kKindOffset = 12;
constexpr std::size_t kStateOffset = 16;

// Lock bytes: every handle holds a shared lock on the handle byte; set and
// reset hold an exclusive lock on the state byte around their store.
constexpr off_t kHandleByte = 0;
constexpr off_t kStateByte = 1;

constexpr const char* kMutexSuffix = ".mutex";
constexpr const char* kEventSuffix = ".event";

// ---------------------------------------------------------------------------
// System call helpers. Every call that can be interrupted is retried.

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    // close() is not retried on EINTR: on Linux the descriptor is gone
    // either way, and a retry could close someone else's.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dir, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

struct flock OneByte(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  lock.l_pid = 0;  // required for OFD locks
  return lock;
}

// Takes, converts or drops a lock on one byte without waiting. Returns 0 or
// the error: EAGAIN or EACCES when another handle holds a conflicting lock.
int TryLock(int fd, short type, off_t byte) {
  struct flock lock = OneByte(type, byte);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc < 0 && errno == EINTR);
  return rc < 0 ? errno : 0;
}

// Takes or converts a lock on one byte, waiting for conflicting locks to go.
int WaitLock(int fd, short type, off_t byte) {
  struct flock lock = OneByte(type, byte);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLKW, &lock);
  } while (rc < 0 && errno == EINTR);
  return rc < 0 ? errno : 0;
}

// True when a handle other than `fd`'s own holds any lock on the byte. False
// on error as well.
bool LockedByOthers(int fd, off_t byte) {
  struct flock lock = OneByte(F_WRLCK, byte);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_GETLK, &lock);
  } while (rc < 0 && errno == EINTR);
  return rc == 0 && lock.l_type != F_UNLCK;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A shared futex: the word lives in a file mapping that other processes map
// too, so FUTEX_PRIVATE_FLAG must never be used. FUTEX_WAIT_BITSET takes an
// absolute CLOCK_MONOTONIC deadline, null for none. Returns 0 or the error.
int FutexWait(std::uint32_t* word, std::uint32_t expected, const timespec* deadline) {
  const long rc = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline, nullptr,
                            FUTEX_BITSET_MATCH_ANY);
  return rc < 0 ? errno : 0;
}

void FutexWakeAll(std::uint32_t* word) {
  ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

// Sleeps until one of the words differs from its expected value (Linux 5.16
// and later; ENOSYS before). Returns 0 or the error.
int FutexWaitAny(const std::uint32_t* const* words, const std::uint32_t* expected,
                 std::size_t count, const timespec* deadline) {
  std::array<futex_waitv, kMaxWaitEvents> waiters{};
  for (std::size_t i = 0; i < count; ++i) {
    waiters[i].val = expected[i];
    waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(words[i]);
    waiters[i].flags = FUTEX_32;  // shared: no FUTEX_PRIVATE_FLAG
  }
  const long rc = ::syscall(SYS_futex_waitv, waiters.data(), static_cast<unsigned>(count), 0u,
                            deadline, CLOCK_MONOTONIC);
  return rc < 0 ? errno : 0;
}

// An absolute CLOCK_MONOTONIC deadline, or none for kInfinite.
class Deadline {
 public:
  explicit Deadline(std::uint32_t timeout_ms) : infinite_(timeout_ms == kInfinite) {
    if (infinite_) return;
    ::clock_gettime(CLOCK_MONOTONIC, &at_);
    at_.tv_sec += timeout_ms / 1000;
    at_.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (at_.tv_nsec >= 1000000000L) {
      at_.tv_nsec -= 1000000000L;
      ++at_.tv_sec;
    }
  }

  const timespec* get() const { return infinite_ ? nullptr : &at_; }

  bool Passed() const {
    if (infinite_) return false;
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > at_.tv_sec || (now.tv_sec == at_.tv_sec && now.tv_nsec >= at_.tv_nsec);
  }

 private:
  bool infinite_;
  timespec at_{};
};

// ---------------------------------------------------------------------------
// The object directory.

constexpr std::size_t kFileNameMax = NAME_MAX;

// The file name of a named object: bytes outside [A-Za-z0-9._-], and a
// leading '.', become %XX (upper-case hex), then the suffix. False for an
// empty name or one whose file name would be too long.
bool ObjectFileName(const char* name, const char* suffix, char (&out)[kFileNameMax + 1]) {
  if (name == nullptr || *name == '\0') return false;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t n = 0;
  const std::size_t suffix_len = std::strlen(suffix);
  for (const char* p = name; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || (c == '.' && p != name);
    if (n + (plain ? 1 : 3) + suffix_len > kFileNameMax) return false;
    if (plain) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 0xF];
    }
  }
  std::memcpy(out + n, suffix, suffix_len + 1);
  return true;
}

// The directory of this user's objects. Looked up at each use (a getenv and
// a compare) and opened once per path; a refused path is reported once and
// stays refused.
class ObjectDirectory {
 public:
  struct View {
    int fd;       // -1 when refused
    uid_t owner;  // the effective user the directory was checked against
    ObjectDirectory* directory;
  };

  View Get() {
    const char* env = std::getenv("MOX_OBJECT_DIR");
    std::lock_guard<std::mutex> lock(mu_);
    if (env != nullptr && *env != '\0') {
      if (!resolved_ || path_ != env) Resolve(env);
    } else if (!resolved_ || path_ != DefaultPath()) {
      Resolve(DefaultPath());
    }
    return {fd_.get(), owner_, this};
  }

  // Says on standard error, once per file, that an object file in this
  // directory was refused: the operation on it fails, and without the line
  // a start or stop would end looking as if it had been done.
  void ReportRefusedFile(const char* file, const char* reason) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string where = path_ + "/" + file;
    if (std::find(reported_.begin(), reported_.end(), where) != reported_.end()) return;
    std::string line = program_invocation_short_name;
    line += ": refusing object file ";
    line += where;
    line += ": ";
    line += reason;
    line += '\n';
    WriteAll(STDERR_FILENO, line.data(), line.size());
    reported_.push_back(std::move(where));
  }

 private:
  const std::string& DefaultPath() {
    if (default_path_.empty()) default_path_ = "/dev/shm/mox-" + std::to_string(::geteuid());
    return default_path_;
  }

  void Resolve(const std::string& path) {
    path_ = path;
    resolved_ = true;
    fd_.Reset();
    owner_ = ::geteuid();
    char reason[160] = "";
    UniqueFd fd = Open(reason, sizeof reason);
    if (fd) {
      fd_ = std::move(fd);
      return;
    }
    if (std::find(reported_.begin(), reported_.end(), path_) != reported_.end()) return;
    reported_.push_back(path_);
    // One line, in one write, so it cannot interleave with other output.
    std::string line = program_invocation_short_name;
    line += ": cannot use object directory ";
    line += path_;
    line += ": ";
    line += reason;
    line += '\n';
    WriteAll(STDERR_FILENO, line.data(), line.size());
  }

  UniqueFd Open(char* reason, std::size_t reason_size) {
    if (path_.front() != '/') {
      // A relative path would name a different directory for a peer that
      // runs elsewhere, and split the namespace.
      std::snprintf(reason, reason_size, "it is not an absolute path");
      return {};
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(OpenAt(AT_FDCWD, path_.c_str(), kFlags));
    bool created = false;
    if (!fd && errno == ENOENT) {
      if (::mkdir(path_.c_str(), 0700) == 0) {
        created = true;
      } else if (errno != EEXIST) {
        std::snprintf(reason, reason_size, "it cannot be created (%s)", std::strerror(errno));
        return {};
      }
      fd.Reset(OpenAt(AT_FDCWD, path_.c_str(), kFlags));
    }
    if (!fd) {
      const int error = errno;
      struct stat st;
      if (::lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::snprintf(reason, reason_size, "it is a symbolic link");
      } else if (error == ENOTDIR) {
        std::snprintf(reason, reason_size, "it is not a directory");
      } else {
        std::snprintf(reason, reason_size, "it cannot be opened (%s)", std::strerror(error));
      }
      return {};
    }
    // A new directory gets exactly 0700 whatever the umask.
    if (created) ::fchmod(fd.get(), 0700);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
      std::snprintf(reason, reason_size, "it cannot be examined (%s)", std::strerror(errno));
      return {};
    }
    if (st.st_uid != owner_) {
      std::snprintf(reason, reason_size, "it is owned by uid %u, not by uid %u",
                    static_cast<unsigned>(st.st_uid), static_cast<unsigned>(owner_));
      return {};
    }
    if ((st.st_mode & 077) != 0) {
      std::snprintf(reason, reason_size, "it is open to group or others (mode %04o)",
                    static_cast<unsigned>(st.st_mode & 07777));
      return {};
    }
    return fd;
  }

  std::mutex mu_;
  std::string path_;
  std::string default_path_;
  bool resolved_ = false;
  UniqueFd fd_;
  uid_t owner_ = 0;
  std::vector<std::string> reported_;
};

// Opens an object file without following a symbolic link, without blocking
// on a FIFO or taking a terminal, and accepts it only if it is a regular file
// with one link owned by the directory's user.
// A missing file is not refused: it is an object that does not exist.
UniqueFd OpenObjectFile(const ObjectDirectory::View& dir, const char* file, int flags) {
  UniqueFd fd(OpenAt(dir.fd, file, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600));
  char reason[96];
  if (!fd) {
    const int error = errno;
    if (error == ENOENT) return {};
    if (error == ELOOP) {
      std::snprintf(reason, sizeof reason, "it is a symbolic link");
    } else if (error == EISDIR) {
      std::snprintf(reason, sizeof reason, "it is a directory");
    } else {
      std::snprintf(reason, sizeof reason, "it cannot be opened (%s)", std::strerror(error));
    }
    dir.directory->ReportRefusedFile(file, reason);
    return {};
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    std::snprintf(reason, sizeof reason, "it cannot be examined (%s)", std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    std::snprintf(reason, sizeof reason, "it is not a regular file");
  } else if (st.st_uid != dir.owner) {
    std::snprintf(reason, sizeof reason, "it is owned by uid %u, not by uid %u",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(dir.owner));
  } else if (st.st_nlink != 1) {
    std::snprintf(reason, sizeof reason, "it has %lu links",
                  static_cast<unsigned long>(st.st_nlink));
  } else {
    return fd;
  }
  dir.directory->ReportRefusedFile(file, reason);
  return {};
}

// ---------------------------------------------------------------------------
// Open objects and their handles.

class HeldMutex {
 public:
  explicit HeldMutex(UniqueFd fd) : fd_(std::move(fd)) {}
  ~HeldMutex() {
    // Unlock before closing: a child forked without exec shares the
    // descriptor, and the mutex must still be gone when ReleaseMutex returns.
    TryLock(fd_.get(), F_UNLCK, kHandleByte);
  }

 private:
  UniqueFd fd_;
};

class Event {
 public:
  Event(UniqueFd fd, void* mapping) : fd_(std::move(fd)), mapping_(mapping) {}
  ~Event() { ::munmap(mapping_, kEventFileSize); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  int fd() const { return fd_.get(); }
  std::uint32_t* word() const {
    return reinterpret_cast<std::uint32_t*>(static_cast<char*>(mapping_) + kStateOffset);
  }
  std::uint32_t Load() const {
    return std::atomic_ref<std::uint32_t>(*word()).load(std::memory_order_acquire);
  }

  // Makes the state `signalled` under the state lock, adding one to the
  // word when it changes, and wakes every waiter on a change.
  bool Change(bool signalled) {
    if (WaitLock(fd(), F_WRLCK, kStateByte) != 0) return false;
    std::atomic_ref<std::uint32_t> state(*word());
    const std::uint32_t old = state.load(std::memory_order_acquire);
    const bool changed = ((old & 1u) != 0) != signalled;
    if (changed) state.store(old + 1, std::memory_order_release);
    TryLock(fd(), F_UNLCK, kStateByte);
    if (changed) FutexWakeAll(word());
    return true;
  }

 private:
  UniqueFd fd_;
  void* mapping_;
};

// Handles are slot numbers with a generation, so a closed or made-up handle
// is recognised instead of reaching a freed object. Objects are shared so a
// wait in one thread survives a close in another.
template <class T>
class HandleTable {
 public:
  std::uintptr_t Add(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else if (slots_.size() < kMaxSlots) {
      index = slots_.size();
      slots_.emplace_back();
    } else {
      return 0;
    }
    slots_[index].object = std::move(object);
    return (slots_[index].generation << kIndexBits) | (index + 1);
  }

  std::shared_ptr<T> Get(std::uintptr_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* slot = Find(value);
    return slot != nullptr ? slot->object : nullptr;
  }

  std::shared_ptr<T> Remove(std::uintptr_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* slot = Find(value);
    if (slot == nullptr) return nullptr;
    std::shared_ptr<T> object = std::move(slot->object);
    ++slot->generation;
    free_.push_back((value & kIndexMask) - 1);
    return object;
  }

 private:
  static constexpr unsigned kIndexBits = 16;
  static constexpr std::uintptr_t kIndexMask = (std::uintptr_t{1} << kIndexBits) - 1;
  static constexpr std::size_t kMaxSlots = kIndexMask;  // index + 1 must fit

  struct Slot {
    std::shared_ptr<T> object;
    std::uintptr_t generation = 0;
  };

  Slot* Find(std::uintptr_t value) {
    const std::uintptr_t index_plus_one = value & kIndexMask;
    if (index_plus_one == 0 || index_plus_one > slots_.size()) return nullptr;
    Slot& slot = slots_[index_plus_one - 1];
    if (!slot.object || slot.generation != (value >> kIndexBits)) return nullptr;
    return &slot;
  }

  std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> free_;
};

// ---------------------------------------------------------------------------
// Launch helpers.

std::string WithSlashes(const char* path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// Appends the components of `path` to `out`, dropping empty and "."
// components. ".." is kept: removing it by text would be wrong across
// symbolic links.
void AppendComponents(std::string& out, std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
}

// `path` made absolute against `cwd`, without "." components; empty when
// `cwd` is needed but unknown. Symbolic links are not resolved, so the last
// component stays the name it was given.
std::string AbsolutePath(const std::string& cwd, std::string_view path) {
  std::string out;
  if (path.empty() || path.front() != '/') {
    if (cwd.empty()) return out;
    AppendComponents(out, cwd);
  }
  AppendComponents(out, path);
  if (out.empty()) out.push_back('/');
  return out;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string CurrentDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// posix_spawn attributes and file actions, destroyed whatever happens.
class SpawnSetup {
 public:
  SpawnSetup() {
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // A new session (no controlling terminal, out of the caller's process
  // group), every signal at its default and none blocked, /dev/null on 0 to
  // 2, nothing else inherited, and the working directory.
  bool Prepare(const char* directory) {
    if (!attr_ok_ || !actions_ok_) return false;
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (::posix_spawnattr_setflags(&attr_, flags) != 0) return false;
    if (::posix_spawnattr_setsigdefault(&attr_, &all) != 0) return false;
    if (::posix_spawnattr_setsigmask(&attr_, &none) != 0) return false;
    if (::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0) {
      return false;
    }
    if (::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) != 0) {
      return false;
    }
    if (::posix_spawn_file_actions_adddup2(&actions_, 1, 2) != 0) return false;
    if (::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) != 0) return false;
    if (directory != nullptr && ::posix_spawn_file_actions_addchdir_np(&actions_, directory) != 0) {
      return false;
    }
    return true;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

// ---------------------------------------------------------------------------
// The backend: one object serves the controller and the peers, so handles
// from either interface work with both.

class LinuxObjects final : public SystemOps, public PeerObjects {
 public:
  bool IsPeerRunning(const char* mutex_name) override {
    char file[kFileNameMax + 1];
    if (!ObjectFileName(mutex_name, kMutexSuffix, file)) return false;
    const ObjectDirectory::View dir = directory_.Get();
    if (dir.fd < 0) return false;
    // Opening without O_CREAT and only testing for a lock: the probe leaves
    // no trace, and a file left by a dead holder reads as absent.
    const UniqueFd fd = OpenObjectFile(dir, file, O_RDONLY);
    return fd && LockedByOthers(fd.get(), kHandleByte);
  }

  MutexHandle HoldMutex(const char* name) override {
    char file[kFileNameMax + 1];
    if (!ObjectFileName(name, kMutexSuffix, file)) return {};
    const ObjectDirectory::View dir = directory_.Get();
    if (dir.fd < 0) return {};
    UniqueFd fd = OpenObjectFile(dir, file, O_RDONLY | O_CREAT);
    if (!fd || TryLock(fd.get(), F_RDLCK, kHandleByte) != 0) return {};
    return MutexHandle{mutexes_.Add(std::make_shared<HeldMutex>(std::move(fd)))};
  }

  void ReleaseMutex(MutexHandle mutex) override { mutexes_.Remove(mutex.value); }

  EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                bool initially_signalled) override {
    if (!manual_reset) return {};  // only manual-reset events exist here
    char file[kFileNameMax + 1];
    if (!ObjectFileName(name, kEventSuffix, file)) return {};
    const ObjectDirectory::View dir = directory_.Get();
    if (dir.fd < 0) return {};
    UniqueFd fd = OpenObjectFile(dir, file, O_RDWR | O_CREAT);
    if (!fd) return {};

    // The exclusive lock is granted only when no other handle exists, that
    // is when the object does not exist: then this handle makes it new. If
    // refused, wait for a shared lock (an initialiser holds the exclusive one
    // only briefly), then try once more, since every other handle may have
    // closed meanwhile.
    bool is_new = TryLock(fd.get(), F_WRLCK, kHandleByte) == 0;
    if (!is_new) {
      if (WaitLock(fd.get(), F_RDLCK, kHandleByte) != 0) return {};
      is_new = TryLock(fd.get(), F_WRLCK, kHandleByte) == 0;
    }
    if (is_new) {
      if (!Initialise(fd.get(), initially_signalled)) return {};
      // Downgrading is atomic: no other handle can slip in as the creator.
      if (TryLock(fd.get(), F_RDLCK, kHandleByte) != 0) return {};
    }
    return MapEvent(dir, file, std::move(fd));
  }

  EventHandle OpenEvent(const char* name) override {
    char file[kFileNameMax + 1];
    if (!ObjectFileName(name, kEventSuffix, file)) return {};
    const ObjectDirectory::View dir = directory_.Get();
    if (dir.fd < 0) return {};
    UniqueFd fd = OpenObjectFile(dir, file, O_RDWR);
    if (!fd || !LockedByOthers(fd.get(), kHandleByte)) return {};
    // Joining may outlast the holder just seen. That is the same as having
    // opened just before it closed; a creator in between is waited out here.
    if (WaitLock(fd.get(), F_RDLCK, kHandleByte) != 0) return {};
    return MapEvent(dir, file, std::move(fd));
  }

  bool SetEvent(EventHandle event) override { return ChangeEvent(event, true); }
  bool ResetEvent(EventHandle event) override { return ChangeEvent(event, false); }

  void CloseEvent(EventHandle event) override { events_.Remove(event.value); }

  WaitResult WaitForEvents(std::span<const EventHandle> handles, bool wait_all,
                           std::uint32_t timeout_ms) override {
    const std::size_t count = handles.size();
    if (count == 0 || count > kMaxWaitEvents) return WaitResult::failed;
    std::array<std::shared_ptr<Event>, kMaxWaitEvents> events;
    std::array<std::uint32_t*, kMaxWaitEvents> words;
    for (std::size_t i = 0; i < count; ++i) {
      if (!handles[i]) return WaitResult::failed;
      for (std::size_t j = 0; j < i; ++j) {
        if (handles[j] == handles[i]) return WaitResult::failed;
      }
      events[i] = events_.Get(handles[i].value);
      if (!events[i]) return WaitResult::failed;
      words[i] = events[i]->word();
    }
    const Deadline deadline(timeout_ms);
    return wait_all ? WaitAll(words.data(), count, deadline)
                    : WaitAny(words.data(), count, deadline);
  }

  ResetWait WaitUntilReset(EventHandle handle, std::uint32_t timeout_ms) override {
    const std::shared_ptr<Event> event = events_.Get(handle.value);
    if (!event) return ResetWait::failed;
    const Deadline deadline(timeout_ms);
    for (;;) {
      const std::uint32_t seen = event->Load();
      if ((seen & 1u) == 0) return ResetWait::reset;
      if (deadline.Passed()) return ResetWait::timed_out;
      const int rc = FutexWait(event->word(), seen, deadline.get());
      if (rc == ETIMEDOUT) return ResetWait::timed_out;
      if (rc != 0 && rc != EAGAIN && rc != EINTR) return ResetWait::failed;
    }
  }

  bool Launch(const LaunchRequest& request) override {
    if (request.verb != nullptr && std::strcmp(request.verb, "open") != 0) return false;
    if (request.file == nullptr || *request.file == '\0') return false;
    const std::string file = WithSlashes(request.file);
    const bool has_directory = request.directory != nullptr && *request.directory != '\0';
    const std::string directory = has_directory ? WithSlashes(request.directory) : std::string();
    const std::string cwd = CurrentDirectory();  // empty if it has been removed

    // The child changes directory before exec, so the program is named by
    // an absolute path. A relative file is looked for in the launch
    // directory first, then in the current one. The path keeps the file's
    // own name, which becomes the program's argv[0].
    std::string program;
    if (file.front() != '/' && has_directory) {
      std::string in_directory = directory;
      in_directory += '/';
      in_directory += file;
      program = AbsolutePath(cwd, in_directory);
      if (!IsExecutableFile(program)) program.clear();
    }
    if (program.empty()) program = AbsolutePath(cwd, file);
    if (program.empty()) return false;

    std::vector<std::string> args;
    args.push_back(program);
    if (request.parameters != nullptr) {
      for (std::string& arg : SplitCommandLine(request.parameters)) args.push_back(std::move(arg));
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.Prepare(has_directory ? directory.c_str() : nullptr)) return false;
    // glibc reports a failed exec or chdir in the child as the result. The
    // child is not waited for: the caller keeps nothing of it. Should it end
    // before the caller does, it stays a zombie that holds no object.
    pid_t pid;
    return ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(),
                         environ) == 0;
  }

 private:
  // Writes a new event's whole file. Only called while holding the
  // exclusive handle lock, so nobody else has it open as an object.
  static bool Initialise(int fd, bool signalled) {
    std::array<char, kEventFileSize> image{};
    std::memcpy(image.data(), kEventMagic, sizeof kEventMagic);
    std::memcpy(image.data() + kVersionOffset, &kEventVersion, sizeof kEventVersion);
    std::memcpy(image.data() + kKindOffset, &kKindManualReset, sizeof kKindManualReset);
    const std::uint32_t state = signalled ? 1u : 0u;
    std::memcpy(image.data() + kStateOffset, &state, sizeof state);
    std::size_t done = 0;
    while (done < image.size()) {
      const ssize_t n =
          ::pwrite(fd, image.data() + done, image.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    int rc;
    do {
      rc = ::ftruncate(fd, kEventFileSize);
    } while (rc < 0 && errno == EINTR);
    if (rc != 0) return false;
    ::fchmod(fd, 0600);  // whatever the umask took away
    return true;
  }

  // Maps an event file already locked as a handle, so its size no longer
  // changes. The size is checked first: touching a mapping past the end of a
  // short file would fault.
  EventHandle MapEvent(const ObjectDirectory::View& dir, const char* file, UniqueFd fd) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return {};
    if (st.st_size != static_cast<off_t>(kEventFileSize)) {
      char reason[96];
      std::snprintf(reason, sizeof reason, "it is held but %lld bytes long, not an event",
                    static_cast<long long>(st.st_size));
      dir.directory->ReportRefusedFile(file, reason);
      return {};
    }
    void* mapping =
        ::mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapping == MAP_FAILED) return {};
    auto event = std::make_shared<Event>(std::move(fd), mapping);
    const char* bytes = static_cast<const char*>(mapping);
    std::uint32_t version;
    std::uint32_t kind;
    std::memcpy(&version, bytes + kVersionOffset, sizeof version);
    std::memcpy(&kind, bytes + kKindOffset, sizeof kind);
    if (std::memcmp(bytes, kEventMagic, sizeof kEventMagic) != 0 || version != kEventVersion ||
        kind != kKindManualReset) {
      dir.directory->ReportRefusedFile(file, "it is held but its header is not an event's");
      return {};
    }
    return EventHandle{events_.Add(std::move(event))};
  }

  bool ChangeEvent(EventHandle handle, bool signalled) {
    const std::shared_ptr<Event> event = events_.Get(handle.value);
    return event && event->Change(signalled);
  }

  // Succeeds only when all words showed "signalled" at one instant: all
  // read signalled, and a second reading found none changed. Since every
  // change alters its word for good, each event was signalled over an
  // interval that contains the moment the first reading ended.
  static WaitResult WaitAll(std::uint32_t* const* words, std::size_t count,
                            const Deadline& deadline) {
    std::array<std::uint32_t, kMaxWaitEvents> seen;
    for (;;) {
      std::size_t first_clear = count;
      for (std::size_t i = 0; i < count; ++i) {
        seen[i] = std::atomic_ref<std::uint32_t>(*words[i]).load(std::memory_order_acquire);
        if ((seen[i] & 1u) == 0 && first_clear == count) first_clear = i;
      }
      if (first_clear == count) {
        bool unchanged = true;
        for (std::size_t i = 0; i < count && unchanged; ++i) {
          unchanged =
              std::atomic_ref<std::uint32_t>(*words[i]).load(std::memory_order_acquire) == seen[i];
        }
        if (unchanged) return WaitResult::all_signalled;
        continue;
      }
      if (deadline.Passed()) return WaitResult::timed_out;
      // Nothing can succeed before this event is set: sleep on it alone.
      const int rc = FutexWait(words[first_clear], seen[first_clear], deadline.get());
      if (rc == ETIMEDOUT) return WaitResult::timed_out;
      if (rc != 0 && rc != EAGAIN && rc != EINTR) return WaitResult::failed;
    }
  }

  static WaitResult WaitAny(std::uint32_t* const* words, std::size_t count,
                            const Deadline& deadline) {
    std::array<std::uint32_t, kMaxWaitEvents> seen;
    for (;;) {
      for (std::size_t i = 0; i < count; ++i) {
        seen[i] = std::atomic_ref<std::uint32_t>(*words[i]).load(std::memory_order_acquire);
        if ((seen[i] & 1u) != 0) return WaitResult::all_signalled;
      }
      if (deadline.Passed()) return WaitResult::timed_out;
      const int rc = count == 1 ? FutexWait(words[0], seen[0], deadline.get())
                                : FutexWaitAny(words, seen.data(), count, deadline.get());
      if (rc == ETIMEDOUT) return WaitResult::timed_out;
      if (rc != 0 && rc != EAGAIN && rc != EINTR) return WaitResult::failed;
    }
  }

  ObjectDirectory directory_;
  HandleTable<HeldMutex> mutexes_;
  HandleTable<Event> events_;
};

// Never destroyed: handles stay valid until the process ends, even while
// other static objects are torn down.
LinuxObjects& Backend() {
  static LinuxObjects* const backend = new LinuxObjects;
  return *backend;
}

}  // namespace

SystemOps& PlatformSystemOps() {
  return Backend();
}

PeerObjects& PlatformPeerObjects() {
  return Backend();
}

}  // namespace mox
