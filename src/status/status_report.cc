#include "status/status_report.h"

#include <cstdio>
#include <filesystem>

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

void WriteStatusAssignments(const StatusReport& report, std::string& out) {
  for (const PeerGroup& g : kGroupTable) {
    out += "status";
    out += g.name;
    out += "='";
    out += report[static_cast<std::size_t>(g.id)];
    out += "';";
  }
}

bool WriteStatusFile(const StatusReport& report) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::directory_entry existing(kStatusFileName, error);
  // Only a regular file, or none, is written: opening a pipe that nobody
  // reads for writing would block, and the command would never end.
  const bool exists = existing.exists(error);
  const bool in_place = existing.is_regular_file(error);
  if (exists && !in_place) return false;

  // An existing file is overwritten in place and cut to four bytes only if
  // it was longer: the content is replaced entirely either way, but
  // truncating first costs a journal commit on some file systems (most of
  // the command's time) and lets a concurrent reader see an empty file.
  // C streams rather than fstreams, which would set up the locale
  // machinery. Text mode, no sharing restriction.
  const std::uintmax_t old_size = in_place ? existing.file_size(error) : 0;
  std::FILE* file = in_place ? std::fopen(kStatusFileName, "r+") : nullptr;
  if (file == nullptr) file = std::fopen(kStatusFileName, "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
  const bool closed = std::fclose(file) == 0;
  if (written && closed && !error && old_size > report.size()) {
    fs::resize_file(kStatusFileName, report.size(), error);
  }
  return written && closed && !error;
}

void ReportStatus(SystemOps& ops, std::string& out) {
  const StatusReport report = QueryStatus(ops);
  WriteStatusAssignments(report, out);
  // A status file that cannot be written is skipped; the printed report
  // stands on its own.
  static_cast<void>(WriteStatusFile(report));
}

}  // namespace mox
