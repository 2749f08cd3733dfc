// The floor for starting and stopping a group: what any program must do at
// the least to run the group's peers and know they are up, with nothing of
// the controller around it. Shared by the in-process floor of the driver and
// by the stand-alone floor program.
//
// Starting means: create each member's start event non-signalled (a peer
// only acknowledges into an event that exists), spawn the member's program
// directly by its absolute path, with the launch attributes the controller
// uses (new session, default signals, /dev/null, no inherited descriptor,
// the member's directory), and wait until all start events are set at once.
// Stopping means: reset each member's stop event and wait until all are set
// again. Paths and argument vectors are prepared beforehand, so the timed
// part is only the system work.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peers/peer_table.h"

namespace mox::bench {

/// One member's program, ready to spawn.
struct PreparedMember {
  const PeerEntry* peer;
  std::string program;    // absolute path, also argv[0]
  std::string directory;  // absolute working directory
  std::vector<std::string> arguments;
};

struct PreparedGroup {
  const PeerGroup* group;
  std::vector<PreparedMember> members;
};

/// The group of this name ("Links", "InfProc", ...), if there is one.
std::optional<GroupId> FindGroup(std::string_view name);

/// The group's members as launched in normal mode from `install_root`.
PreparedGroup PrepareGroup(GroupId id, const std::string& install_root);

/// Starts the members and waits until every one has set its start event.
/// Appends the spawned pids to `pids`. False when a spawn failed or the
/// group's start time-out passed.
bool StartDirectly(const PreparedGroup& group, std::vector<pid_t>& pids);

/// Requests every member to stop and waits until all acknowledged. False
/// when the group's stop time-out passed.
bool StopDirectly(const PreparedGroup& group);

}  // namespace mox::bench
