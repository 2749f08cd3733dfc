// What a peer's parameter file may say about how it behaves.
//
// The file is a plain INI file: "[SECTION]" headers, "key = value" lines,
// and comment lines starting with ';' or '#'. Each peer reads only the
// section named after its token ([KARN], [PELKAR], ...); several peers share
// one file ("PORVIN.INI"), each with its own section.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mox::moxpeer {

struct PeerSettings {
  std::uint32_t start_delay_ms = 0;  // wait before setting the start event
  bool ack_start = true;             // false: never set the start event
  std::uint32_t stop_delay_ms = 0;   // wait after a stop request before acknowledging
  bool ack_stop = true;              // false: end on a stop request without acknowledging
  std::string command;               // a program and its arguments to run; empty: none
};

/// Why a parameter file was refused: the 1-based line (0 when the file as a
/// whole could not be read) and what is wrong with it.
struct SettingsError {
  int line = 0;
  std::string message;
};

struct ParsedSettings {
  PeerSettings settings;
  std::optional<SettingsError> error;
};

/// Reads the settings of `section` from INI text. Section names and keys are
/// matched without regard to ASCII case; a section that appears twice is read
/// as one. A line that is neither a header, a comment, blank nor "key=value"
/// is an error anywhere in the file. Inside `section`, an unknown key, a
/// delay that is not a whole number below 4294967295 or an acknowledgement
/// that is not yes/no is an error. The rest of a command line is kept as
/// written, ';' included. A missing section gives the defaults.
[[nodiscard]] ParsedSettings ParsePeerSettings(std::string_view text, std::string_view section);

/// ParsePeerSettings over the file at `path`. A file that does not exist
/// gives the defaults; one that exists but cannot be read is an error.
[[nodiscard]] ParsedSettings LoadPeerSettings(const char* path, std::string_view section);

}  // namespace mox::moxpeer
