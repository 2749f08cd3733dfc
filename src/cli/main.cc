#include <iostream>
#include <span>

#include "cli/command.h"
#include "platform/system_ops.h"

int main(int argc, char** argv) {
  const std::span<const char* const> args(argv, argc < 0 ? 0 : static_cast<std::size_t>(argc));
  return mox::RunCommand(args, mox::PlatformSystemOps(), std::cout);
}
