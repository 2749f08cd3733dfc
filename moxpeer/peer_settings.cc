#include "moxpeer/peer_settings.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "peers/ascii_case.h"

namespace mox::moxpeer {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// 0xFFFFFFFF is the platform's "wait forever"; a delay must stay below it.
bool ParseDelay(std::string_view value, std::uint32_t& out) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (ec != std::errc{} || end != value.data() + value.size() || n >= 0xFFFFFFFFu) return false;
  out = static_cast<std::uint32_t>(n);
  return true;
}

bool ParseYesNo(std::string_view value, bool& out) {
  if (EqualsIgnoringAsciiCase(value, "yes")) {
    out = true;
    return true;
  }
  if (EqualsIgnoringAsciiCase(value, "no")) {
    out = false;
    return true;
  }
  return false;
}

std::string Quoted(std::string_view s) {
  std::string quoted;
  quoted.reserve(s.size() + 2);
  quoted += '\'';
  quoted += s;
  quoted += '\'';
  return quoted;
}

// Applies one key of the peer's own section. Empty on success, else why not.
std::string ApplyKey(std::string_view key, std::string_view value, PeerSettings& settings) {
  if (EqualsIgnoringAsciiCase(key, "start_delay_ms") ||
      EqualsIgnoringAsciiCase(key, "stop_delay_ms")) {
    std::uint32_t& field = EqualsIgnoringAsciiCase(key, "start_delay_ms") ? settings.start_delay_ms
                                                                          : settings.stop_delay_ms;
    if (!ParseDelay(value, field)) {
      return Quoted(key) + " needs a whole number of milliseconds, not " + Quoted(value);
    }
    return {};
  }
  if (EqualsIgnoringAsciiCase(key, "ack_start") || EqualsIgnoringAsciiCase(key, "ack_stop")) {
    bool& field =
        EqualsIgnoringAsciiCase(key, "ack_start") ? settings.ack_start : settings.ack_stop;
    if (!ParseYesNo(value, field)) return Quoted(key) + " needs yes or no, not " + Quoted(value);
    return {};
  }
  if (EqualsIgnoringAsciiCase(key, "command")) {
    settings.command = std::string(value);
    return {};
  }
  return "unknown key " + Quoted(key);
}

}  // namespace

ParsedSettings ParsePeerSettings(std::string_view text, std::string_view section) {
  ParsedSettings result;
  // A file saved by a Windows editor may start with a UTF-8 byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

  bool in_section = false;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);

    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;

    auto fail = [&](std::string message) {
      result.error = SettingsError{line_number, std::move(message)};
      return result;
    };

    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        return fail("malformed section header " + Quoted(line));
      }
      in_section = EqualsIgnoringAsciiCase(Trim(line.substr(1, line.size() - 2)), section);
      continue;
    }

    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return fail("expected key = value, got " + Quoted(line));
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) return fail("missing key before '='");
    if (!in_section) continue;

    std::string why = ApplyKey(key, Trim(line.substr(equals + 1)), result.settings);
    if (!why.empty()) return fail(std::move(why) + " in [" + std::string(section) + "]");
  }
  return result;
}

ParsedSettings LoadPeerSettings(const char* path, std::string_view section) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return {};
    return {
        {                                                   },
        SettingsError{ 0, std::string("cannot open: ") + std::strerror(errno)}
    };
  }
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed)
    return {
        {                                                   },
        SettingsError{ 0, std::string("cannot read: ") + std::strerror(error)}
    };
  return ParsePeerSettings(text, section);
}

}  // namespace mox::moxpeer
