// group_floor: the floor of a group's start or stop as a process of its own,
// to compare with the controller command that does the same.
//
//   usage: group_floor start|stop GROUP     (from the installation root)
//
// Exit code 0 when every member answered in time, 1 when not, 2 on usage.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/process/group_floor.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: group_floor start|stop GROUP\n", stderr);
    return 2;
  }
  const std::optional<mox::GroupId> id = mox::bench::FindGroup(argv[2]);
  char cwd[4096];
  if (!id || getcwd(cwd, sizeof cwd) == nullptr) {
    std::fprintf(stderr, "group_floor: no group '%s' or no working directory\n", argv[2]);
    return 2;
  }
  const mox::bench::PreparedGroup group = mox::bench::PrepareGroup(*id, cwd);
  if (std::strcmp(argv[1], "start") == 0) {
    std::vector<pid_t> pids;
    return mox::bench::StartDirectly(group, pids) ? 0 : 1;
  }
  if (std::strcmp(argv[1], "stop") == 0) return mox::bench::StopDirectly(group) ? 0 : 1;
  std::fputs("usage: group_floor start|stop GROUP\n", stderr);
  return 2;
}
