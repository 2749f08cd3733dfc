#include <cstdio>
#include <span>
#include <string>

#include "cli/command.h"
#include "platform/system_ops.h"

// Output goes through C stdio rather than iostreams: constructing the
// standard streams sets up the locale machinery, which would be most of this
// command's start-up. stdout is in text mode, so on Windows a newline goes
// out as CR LF.
int main(int argc, char** argv) {
  const std::span<const char* const> args(argv, argc < 0 ? 0 : static_cast<std::size_t>(argc));
  std::string out;
  const int code = mox::RunCommand(args, mox::PlatformSystemOps(), out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return code;
}
