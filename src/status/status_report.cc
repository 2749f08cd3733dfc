#include "status/status_report.h"

#include <filesystem>
#include <fstream>
#include <ostream>

namespace mox {
namespace {

constexpr bool LettersSitAtTheirGroup() {
  for (std::size_t i = 0; i < kStatusLetters.size(); ++i) {
    if (static_cast<std::size_t>(kStatusLetters[i].group) != i) return false;
  }
  return true;
}
static_assert(LettersSitAtTheirGroup());

}  // namespace

StatusReport QueryStatus(SystemOps& ops) {
  std::array<bool, kPeerCount> running{};
  for (PeerId id : kProbeOrder) {
    running[static_cast<std::size_t>(id)] = ops.IsPeerRunning(peer(id).mutex_name);
  }
  StatusReport report{};
  for (const StatusLetters& letters : kStatusLetters) {
    bool all = true;
    for (PeerId id : members(group(letters.group)))
      all = all && running[static_cast<std::size_t>(id)];
    report[static_cast<std::size_t>(letters.group)] = all ? letters.running : letters.not_running;
  }
  return report;
}

void WriteStatusAssignments(const StatusReport& report, std::ostream& out) {
  for (const PeerGroup& g : kGroupTable) {
    out << "status" << g.name << "='" << report[static_cast<std::size_t>(g.id)] << "';";
  }
}

bool WriteStatusFile(const StatusReport& report) {
  // Only a regular file, or none, is written: opening a pipe that nobody
  // reads, or a device, for writing would block or write elsewhere, and the
  // command would never end.
  std::error_code error;
  const std::filesystem::file_status existing = std::filesystem::status(kStatusFileName, error);
  if (std::filesystem::exists(existing) && !std::filesystem::is_regular_file(existing))
    return false;
  std::ofstream file(kStatusFileName, std::ios::out | std::ios::trunc);
  if (!file) return false;
  file.write(report.data(), static_cast<std::streamsize>(report.size()));
  file.close();
  return static_cast<bool>(file);
}

void ReportStatus(SystemOps& ops, std::ostream& out) {
  const StatusReport report = QueryStatus(ops);
  WriteStatusAssignments(report, out);
  // A status file that cannot be written is skipped; the printed report
  // stands on its own.
  static_cast<void>(WriteStatusFile(report));
}

}  // namespace mox
