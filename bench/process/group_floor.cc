#include "bench/process/group_floor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <array>

#include "platform/command_line.h"
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

extern char** environ;

namespace mox::bench {
namespace {

std::string Absolute(const std::string& root, const char* relative) {
  std::string out = root;
  std::string_view rest(relative);
  while (!rest.empty()) {
    const std::size_t cut = rest.find('\\');
    const std::string_view part = rest.substr(0, cut);
    if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  return out;
}

bool Spawn(const PreparedMember& m, pid_t& pid) {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attr) != 0) return false;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attr);
    return false;
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  bool ok = posix_spawnattr_setflags(
                &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
            posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
            posix_spawnattr_setsigmask(&attr, &none) == 0 &&
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
            posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0 &&
            posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
            posix_spawn_file_actions_addchdir_np(&actions, m.directory.c_str()) == 0;
  if (ok) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(m.program.c_str()));
    for (const std::string& a : m.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ok = posix_spawn(&pid, m.program.c_str(), &actions, &attr, argv.data(), environ) == 0;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return ok;
}

// Waits for all events at once, then closes them: a start event left open
// here would keep its "set" state into the next start.
bool WaitAllAndClose(std::span<const EventHandle> events, std::uint32_t timeout_ms) {
  const bool all =
      PlatformSystemOps().WaitForEvents(events, true, timeout_ms) == WaitResult::all_signalled;
  for (EventHandle e : events) PlatformPeerObjects().CloseEvent(e);
  return all;
}

}  // namespace

std::optional<GroupId> FindGroup(std::string_view name) {
  for (const PeerGroup& g : kGroupTable) {
    if (name == g.name) return g.id;
  }
  return std::nullopt;
}

PreparedGroup PrepareGroup(GroupId id, const std::string& install_root) {
  PreparedGroup out{&group(id), {}};
  for (PeerId member : members(group(id))) {
    const PeerEntry& p = peer(member);
    PreparedMember m{&p, {}, Absolute(install_root, p.directory_normal), {}};
    m.program = m.directory + '/' + p.file_normal;
    if (p.parameters != nullptr) m.arguments = SplitCommandLine(p.parameters);
    out.members.push_back(std::move(m));
  }
  return out;
}

bool StartDirectly(const PreparedGroup& group, std::vector<pid_t>& pids) {
  std::array<EventHandle, kMaxGroupMembers> events{};
  std::size_t n = 0;
  bool spawned = true;
  for (const PreparedMember& m : group.members) {
    events[n++] = PlatformPeerObjects().CreateOrOpenEvent(m.peer->start_event_name, true, false);
    pid_t pid;
    if (Spawn(m, pid)) {
      pids.push_back(pid);
    } else {
      spawned = false;
    }
  }
  return WaitAllAndClose({events.data(), n}, group.group->start_wait_ms) && spawned;
}

bool StopDirectly(const PreparedGroup& group) {
  std::array<EventHandle, kMaxGroupMembers> events{};
  std::size_t n = 0;
  for (const PreparedMember& m : group.members) {
    events[n] = PlatformPeerObjects().CreateOrOpenEvent(m.peer->stop_event_name, true, true);
    static_cast<void>(PlatformSystemOps().ResetEvent(events[n]));
    ++n;
  }
  return WaitAllAndClose({events.data(), n}, group.group->stop_wait_ms);
}

}  // namespace mox::bench
