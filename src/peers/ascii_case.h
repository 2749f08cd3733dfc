// ASCII case folding for names: executables, command letters, INI keys.
// No locale is consulted and bytes above 127 stay as they are.
#pragma once

#include <algorithm>
#include <string_view>

namespace mox {

/// `a` to `z` become upper case; every other byte is left alone.
constexpr char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

}  // namespace mox
