#include "peers/peer_table.h"

#include <algorithm>
#include <string_view>

#include "peers/ascii_case.h"

namespace mox {
namespace {

constexpr bool RowsSitAtTheirIndex() {
  for (std::size_t i = 0; i < kPeerTable.size(); ++i) {
    if (static_cast<std::size_t>(kPeerTable[i].id) != i) return false;
  }
  for (std::size_t i = 0; i < kGroupTable.size(); ++i) {
    if (static_cast<std::size_t>(kGroupTable[i].id) != i) return false;
  }
  return true;
}

constexpr bool EachPeerInExactlyOneGroup() {
  std::array<int, kPeerCount> seen{};
  for (const PeerGroup& g : kGroupTable) {
    for (PeerId id : members(g)) ++seen[static_cast<std::size_t>(id)];
  }
  return std::ranges::all_of(seen, [](int n) { return n == 1; });
}

constexpr bool GroupsHoldTwoOrThreeMembers() {
  return std::ranges::all_of(
      kGroupTable, [](const PeerGroup& g) { return g.member_count >= 2 && g.member_count <= 3; });
}

// Every mutex and event name across all peers is distinct: a shared name
// would let one peer's marker or handshake answer for another.
constexpr bool ObjectNamesAreUnique() {
  std::array<std::string_view, kPeerCount * 3> names{};
  std::size_t n = 0;
  for (const PeerEntry& p : kPeerTable) {
    names[n++] = p.mutex_name;
    names[n++] = p.start_event_name;
    names[n++] = p.stop_event_name;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}

constexpr bool LocalFilesWhereLocalModeRuns() {
  // Only Links and Rechts start in local mode; their members need a local file.
  for (GroupId g : {GroupId::Links, GroupId::Rechts}) {
    for (PeerId id : members(group(g))) {
      if (peer(id).file_local == nullptr) return false;
    }
  }
  return true;
}

static_assert(RowsSitAtTheirIndex());
static_assert(EachPeerInExactlyOneGroup());
static_assert(GroupsHoldTwoOrThreeMembers());
static_assert(ObjectNamesAreUnique());
static_assert(LocalFilesWhereLocalModeRuns());

}  // namespace

const PeerEntry* FindPeerByExecutable(std::string_view base_name) {
  for (const PeerEntry& p : kPeerTable) {
    if (EqualsIgnoringAsciiCase(base_name, p.file_normal)) return &p;
  }
  return nullptr;
}

}  // namespace mox
