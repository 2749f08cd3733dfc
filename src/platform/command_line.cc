#include "platform/command_line.h"

#include <cstddef>

namespace mox {

std::vector<std::string> SplitCommandLine(std::string_view text) {
  std::vector<std::string> args;
  std::string current;
  bool in_argument = false;  // something, if only a quote, has been seen
  bool quoted = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      std::size_t count = 0;
      while (i < text.size() && text[i] == '\\') {
        ++count;
        ++i;
      }
      in_argument = true;
      if (i < text.size() && text[i] == '"') {
        current.append(count / 2, '\\');
        if (count % 2 == 1) {
          current += '"';
          ++i;
        }
        // With an even count the quote is left for the next round, which
        // toggles quoting.
      } else {
        current.append(count, '\\');
      }
      continue;
    }
    ++i;
    if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) {
        args.push_back(std::move(current));
        current.clear();
        in_argument = false;
      }
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) args.push_back(std::move(current));
  return args;
}

}  // namespace mox
