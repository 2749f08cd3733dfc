// Which groups run, reported as shell-style assignments on standard output
// and as four letters in the status file.
#pragma once

#include <array>
#include <string>

#include "peers/peer_table.h"
#include "platform/system_ops.h"

namespace mox {

inline constexpr const char* kStatusFileName = "MOXCTRL.DAT";

/// One letter per group, in the order Links, Rechts, InfComm, InfProc.
using StatusReport = std::array<char, kGroupCount>;

/// The letters each group reports, in group order.
struct StatusLetters {
  GroupId group;
  char running;
  char not_running;
};

// clang-format off
inline constexpr std::array<StatusLetters, kGroupCount> kStatusLetters{{
    {GroupId::Links,   'S', 'E'},
    {GroupId::Rechts,  'N', 'F'},
    {GroupId::InfComm, 'N', 'F'},
    {GroupId::InfProc, 'S', 'E'},
}};
// clang-format on

/// The order in which the peers' mutexes are probed.
inline constexpr std::array<PeerId, kPeerCount> kProbeOrder{
    PeerId::PELKAR, PeerId::DUMERA, PeerId::TARVEX, PeerId::QUILMO, PeerId::MOXCOM,
    PeerId::KARN,   PeerId::TOLV,   PeerId::SALVOR, PeerId::FUDLIN,
};

/// Probes all nine peers. A group counts as running only when every member
/// does.
StatusReport QueryStatus(SystemOps& ops);

/// Writes the four assignments, run together with no separator or newline.
void WriteStatusAssignments(const StatusReport& report, std::string& out);

/// Replaces the status file in the current directory with the four letters.
/// False when it could not be opened or written; the caller ignores that.
bool WriteStatusFile(const StatusReport& report);

/// The whole status command: probe, print, write the file.
void ReportStatus(SystemOps& ops, std::string& out);

}  // namespace mox
