#include "cli/command.h"

#include "peers/group_control.h"
#include "status/status_report.h"

namespace mox {
namespace {

constexpr bool EveryLetterHasOneRow() {
  for (std::size_t i = 0; i < kDispatchTable.size(); ++i) {
    for (std::size_t j = i + 1; j < kDispatchTable.size(); ++j) {
      if (kDispatchTable[i].letter == kDispatchTable[j].letter) return false;
    }
  }
  return true;
}
static_assert(EveryLetterHasOneRow());

void WriteUsage(std::string& out) {
  out += kUsageLine1;
  out += '\n';
  out += kUsageLine2;
}

}  // namespace

std::optional<DispatchRow> FindDispatchRow(CommandLetter letter) {
  for (const DispatchRow& row : kDispatchTable) {
    if (row.letter == letter) return row;
  }
  return std::nullopt;
}

int RunCommand(std::span<const char* const> args, SystemOps& ops, std::string& out) {
  if (args.size() != 2) {
    WriteUsage(out);
    return 1;
  }
  const char first = args[1] != nullptr ? args[1][0] : '\0';
  const std::optional<DispatchRow> row = FindDispatchRow(FoldCommandLetter(first));
  if (!row) return 0;

  switch (row->action) {
    case Action::start_in_mode:
      StartGroup(row->group, DecodeLaunchMode(first), ops);
      break;
    case Action::start_normal:
      StartGroup(row->group, LaunchMode::normal, ops);
      break;
    case Action::stop:
      StopGroup(row->group, ops);
      break;
    case Action::report_status:
      ReportStatus(ops, out);
      break;
  }
  return 0;
}

}  // namespace mox
