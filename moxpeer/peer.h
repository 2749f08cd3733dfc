// The reference peer: one program that stands in for any of the nine peers
// of an installation and keeps the controller's contract through the named
// objects of the platform layer.
//
// The contract, in order:
//   1. Hold the stop event (`stop_event_name`), signalled, then the running
//      marker mutex (`mutex_name`). The event comes first so that a status
//      seeing this peer as running means it is ready for a stop request.
//   2. If the start event (`start_event_name`) exists, set it, after
//      `start_delay_ms`, unless `ack_start` is no.
//   3. Wait, without polling, until the stop event is reset: that reset is
//      the stop request.
//   4. After `stop_delay_ms`, release the mutex, and only then set the stop
//      event as the acknowledgement (unless `ack_stop` is no): a status taken
//      right after the acknowledgement must see the peer gone.
// With a `command`, its program runs from step 1 on, the start event is set
// once it has started, it is stopped before step 4, and its end by itself
// ends the peer (mutex released, no acknowledgement).
#pragma once

#include <optional>
#include <ostream>
#include <string_view>

#include "moxpeer/peer_settings.h"
#include "peers/peer_table.h"
#include "platform/peer_objects.h"

namespace mox::moxpeer {

/// Exit codes.
inline constexpr int kExitDone = 0;      // stopped on request, or its program ended
inline constexpr int kExitFailed = 1;    // the platform or the program failed while running
inline constexpr int kExitBadSetup = 2;  // not a peer's name, or a malformed parameter file

/// Who this peer is and how it behaves.
struct PeerPlan {
  const PeerEntry* self = nullptr;
  PeerSettings settings;
};

/// Finds the peer whose executable is `base_name` (without regard to case)
/// and reads its section of `parameter_file` (null or empty: none; a path
/// relative to the current directory). On an unknown name or a malformed
/// file, writes one line to `errors` and returns nothing; no named object is
/// touched before this has succeeded.
[[nodiscard]] std::optional<PeerPlan> PlanPeer(std::string_view base_name,
                                               const char* parameter_file, std::ostream& errors);

/// Runs the peer until it is stopped or its program ends, and returns the
/// exit code. Writes nothing on success and one line to `errors` on a
/// failure. When it returns with a program that ended by itself, a helper
/// thread may still be waiting on the stop event inside `objects`: the
/// caller should end the process without tearing `objects` down.
[[nodiscard]] int RunPeer(const PeerPlan& plan, PeerObjects& objects, std::ostream& errors);

}  // namespace mox::moxpeer
