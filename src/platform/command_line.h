// Turning a parameter string into an argument vector the way a Windows
// program's start-up code does, so a peer launched on Linux receives the
// same arguments it would receive on Windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mox {

/// Splits `text` into arguments by the Windows rules:
/// - blanks and tabs outside double quotes separate arguments;
/// - a double quote toggles quoting and is removed; quoting starts an
///   argument even when nothing else follows, so `""` is one empty argument;
/// - backslashes are literal unless a double quote follows them: then 2n
///   backslashes give n backslashes and the quote toggles quoting, and 2n+1
///   backslashes give n backslashes and a literal quote.
/// An empty or all-blank string gives no arguments.
std::vector<std::string> SplitCommandLine(std::string_view text);

}  // namespace mox
