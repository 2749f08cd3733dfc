// Starting and stopping one group of peers through their named events.
#pragma once

#include "peers/peer_table.h"
#include "platform/system_ops.h"

namespace mox {

/// Launches the group's members in member order, each after creating its
/// start event non-signalled, then waits up to the group's start wait for
/// all start events together. A member found already running ends the
/// command at once: the rest are neither probed nor launched, and nothing
/// is waited for.
void StartGroup(GroupId id, LaunchMode mode, SystemOps& ops);

/// Opens (or creates signalled) each member's stop event and resets it,
/// which is the stop request, then waits up to the group's stop wait for all
/// of them to be signalled again. Probes nothing, launches nothing.
void StopGroup(GroupId id, SystemOps& ops);

}  // namespace mox
