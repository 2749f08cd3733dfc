// The command's front end: argument checking, the usage text, decoding of
// the command letter and launch mode, and dispatch to start, stop or status.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "peers/ascii_case.h"
#include "peers/peer_table.h"
#include "platform/system_ops.h"

namespace mox {

/// The first character of the argument after ASCII upper-case folding.
using CommandLetter = char;

inline constexpr const char* kUsageLine1 = "moxctrl Param S/E/N/F/B/X/A/D";
inline constexpr const char* kUsageLine2 = "Bei lokalem Aufruf Param s/n";

enum class Action { start_in_mode, start_normal, stop, report_status };

/// One row of the dispatch table. `group` is unused by report_status.
struct DispatchRow {
  CommandLetter letter;
  Action action;
  GroupId group;
};

// clang-format off
inline constexpr std::array<DispatchRow, 9> kDispatchTable{{
    {'S', Action::start_in_mode, GroupId::Links},
    {'E', Action::stop,          GroupId::Links},
    {'N', Action::start_in_mode, GroupId::Rechts},
    {'F', Action::stop,          GroupId::Rechts},
    {'A', Action::start_normal,  GroupId::InfComm},
    {'D', Action::stop,          GroupId::InfComm},
    {'B', Action::start_normal,  GroupId::InfProc},
    {'X', Action::stop,          GroupId::InfProc},
    {'C', Action::report_status, GroupId::Links},
}};
// clang-format on

/// Folds `a`..`z` to upper case and leaves every other byte alone; no
/// locale is consulted.
constexpr CommandLetter FoldCommandLetter(char c) {
  return FoldAscii(c);
}

/// Local mode is asked for by a lower-case `s` or `n` only.
constexpr LaunchMode DecodeLaunchMode(char c) {
  return (c == 's' || c == 'n') ? LaunchMode::local : LaunchMode::normal;
}

/// The row for a folded letter, if it has one.
std::optional<DispatchRow> FindDispatchRow(CommandLetter letter);

/// Runs one command. `args` is the argument vector with the program name
/// first. Console output is appended to `out`, for the caller to write to
/// standard output. Returns the exit code: 1 when there is not exactly one
/// argument (after the usage text), else 0 whatever happened.
int RunCommand(std::span<const char* const> args, SystemOps& ops, std::string& out);

}  // namespace mox
