#include "peers/group_control.h"

#include <array>

namespace mox {
namespace {

constexpr bool kManualReset = true;

// Handles in member order, one slot per member; a slot whose event could not
// be created stays null, which makes the wait fail at once.
using HandleSlots = std::array<EventHandle, kMaxGroupMembers>;

}  // namespace

void StartGroup(GroupId id, LaunchMode mode, SystemOps& ops) {
  const PeerGroup& g = group(id);
  HandleSlots slots{};
  std::size_t slot = 0;
  for (PeerId member : members(g)) {
    const PeerEntry& p = peer(member);
    if (ops.IsPeerRunning(p.mutex_name)) return;
    slots[slot++] = ops.CreateOrOpenEvent(p.start_event_name, kManualReset, false);
    // A failed launch shows up as a start event nobody sets.
    static_cast<void>(ops.Launch({.verb = "open",
                                  .file = file(p, mode),
                                  .parameters = p.parameters,
                                  .directory = directory(p, mode),
                                  .show = ShowCommand::hide}));
  }
  // Whether everybody answered in time changes nothing for the caller.
  static_cast<void>(ops.WaitForEvents({slots.data(), slot}, true, g.start_wait_ms));
}

void StopGroup(GroupId id, SystemOps& ops) {
  const PeerGroup& g = group(id);
  HandleSlots slots{};
  std::size_t slot = 0;
  for (PeerId member : members(g)) {
    const EventHandle stop =
        ops.CreateOrOpenEvent(peer(member).stop_event_name, kManualReset, true);
    slots[slot++] = stop;
    // The reset is the whole stop request; a peer that is not running
    // cannot answer it and the wait runs to its end.
    static_cast<void>(ops.ResetEvent(stop));
  }
  static_cast<void>(ops.WaitForEvents({slots.data(), slot}, true, g.stop_wait_ms));
}

}  // namespace mox
