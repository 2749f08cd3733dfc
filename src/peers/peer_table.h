// The nine peers and four groups of one installation: every name, path and
// time-out the controller and the reference peer use. Nothing else in the
// program holds a peer's name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace mox {

enum class PeerId { KARN, TOLV, MOXCOM, PELKAR, DUMERA, TARVEX, QUILMO, SALVOR, FUDLIN };
inline constexpr std::size_t kPeerCount = 9;

enum class GroupId { Links, Rechts, InfComm, InfProc };
inline constexpr std::size_t kGroupCount = 4;

enum class LaunchMode { normal, local };

/// One peer's names. Texts are 8-bit strings; paths use the backslash and
/// are relative to the controller's current directory. A null `parameters`
/// means no parameter string at all (not an empty one); a null
/// `directory_local` means no directory is passed in local mode.
struct PeerEntry {
  PeerId id;
  const char* token;  // the name used for the peer's section and messages
  const char* mutex_name;
  const char* start_event_name;
  const char* stop_event_name;
  const char* file_normal;
  const char* file_local;
  const char* parameters;
  const char* directory_normal;
  const char* directory_local;
};

inline constexpr std::size_t kMaxGroupMembers = 3;

struct PeerGroup {
  GroupId id;
  const char* name;
  std::array<PeerId, kMaxGroupMembers> member_slots;
  std::size_t member_count;
  std::uint32_t start_wait_ms;
  std::uint32_t stop_wait_ms;
};

// clang-format off
inline constexpr std::array<PeerEntry, kPeerCount> kPeerTable{{
    {PeerId::KARN,   "KARN",   "MOXPRG_MTX", "StartMoxKarnEvent", "StopMoxKarnEvent", "KARN.EXE",      "..\\MOX\\KARN.EXE", "KARN.INI",   ".\\MOX\\GENERATOR\\MOX",   "..\\MOX"},
    {PeerId::TOLV,   "TOLV",   "VESKOR_MTX", "StartMoxTolvEvent", "StopMoxTolvEvent", "TOLV.EXE",      "..\\MOX\\TOLV.EXE", "TOLV.INI",   ".\\MOX\\GENERATOR\\MOX",   "..\\MOX"},
    {PeerId::MOXCOM, "MOXCOM", "MOXCOM_MTX", "StartMoxComEvent",  "StopMoxComEvent",  "MOXCOM.EXE",    "MOXCOM.EXE",        "PORVIN.INI", ".\\MOX\\GENERATOR\\COMM",  nullptr},
    {PeerId::PELKAR, "PELKAR", "PELKAR_MTX", "StartPelkarEvent",  "StopPelkarEvent",  "PELKAR.EXE",    "PELKAR.EXE",        "PORVIN.INI", ".\\MOX\\GENERATOR\\COMM",  nullptr},
    {PeerId::DUMERA, "DUMERA", "DUMERA_MTX", "StartDumeraEvent",  "StopDumeraEvent",  "DUMERA.EXE",    "DUMERA.EXE",        "PORVIN.INI", ".\\MOX\\GENERATOR\\COMM",  nullptr},
    {PeerId::TARVEX, "TARVEX", "TARVEX_MTX", "StartTarvexEvent",  "StopTarvexEvent",  "TARVEX.EXE",    "TARVEX.EXE",        "PORVIN.INI", ".\\MOX\\INFORMATOR\\COMM", nullptr},
    {PeerId::QUILMO, "QUILMO", "QUILMO_MTX", "StartQuilmoEvent",  "StopQuilmoEvent",  "QUILMO.EXE",    "QUILMO.EXE",        "PORVIN.INI", ".\\MOX\\INFORMATOR\\COMM", nullptr},
    {PeerId::SALVOR, "SALVOR", "SALVOR_MTX", "StartSalvorEvent",  "StopSalvorEvent",  "MOXGRENOT.EXE", "MOXGRENOT.EXE",     nullptr,      ".\\MOX\\INFORMATOR\\MOX",  nullptr},
    {PeerId::FUDLIN, "FUDLIN", "FUDLIN_MTX", "StartFudlinEvent",  "StopFudlinEvent",  "MOXFUDLIN.EXE", "MOXFUDLIN.EXE",     nullptr,      ".\\MOX\\INFORMATOR\\MOX",  nullptr},
}};

inline constexpr std::array<PeerGroup, kGroupCount> kGroupTable{{
    {GroupId::Links,   "Links",   {PeerId::KARN,   PeerId::TOLV,   PeerId::MOXCOM}, 3, 20000, 30000},
    {GroupId::Rechts,  "Rechts",  {PeerId::PELKAR, PeerId::DUMERA, PeerId::DUMERA}, 2, 15000, 30000},
    {GroupId::InfComm, "InfComm", {PeerId::TARVEX, PeerId::QUILMO, PeerId::QUILMO}, 2, 15000, 30000},
    {GroupId::InfProc, "InfProc", {PeerId::SALVOR, PeerId::FUDLIN, PeerId::FUDLIN}, 2, 15000, 30000},
}};
// clang-format on

/// The peer's row.
constexpr const PeerEntry& peer(PeerId id) {
  return kPeerTable[static_cast<std::size_t>(id)];
}

/// The group's row.
constexpr const PeerGroup& group(GroupId id) {
  return kGroupTable[static_cast<std::size_t>(id)];
}

/// The group's members in member order: the order of launch, stop and wait.
constexpr std::span<const PeerId> members(const PeerGroup& g) {
  return {g.member_slots.data(), g.member_count};
}

/// The executable to launch in this mode.
constexpr const char* file(const PeerEntry& p, LaunchMode mode) {
  return mode == LaunchMode::local ? p.file_local : p.file_normal;
}

/// The working directory to pass in this mode; null means none is passed.
constexpr const char* directory(const PeerEntry& p, LaunchMode mode) {
  return mode == LaunchMode::local ? p.directory_local : p.directory_normal;
}

/// The peer whose executable has this base name, compared without regard to
/// ASCII case ("karn.exe" finds KARN). Null when no peer has it.
const PeerEntry* FindPeerByExecutable(std::string_view base_name);

}  // namespace mox
