// The status command: probe order, the four letters, the printed line and
// the status file.
#include "status/status_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "cli/command.h"
#include "recording_system_ops.h"
#include "temp_dir.h"

namespace mox {
namespace {

using testing::RecordingSystemOps;
using testing::Script;

class StatusTest : public ::testing::Test {
 protected:
  struct Outcome {
    int exit_code;
    std::string out;
    std::vector<std::string> calls;
  };

  Outcome RunStatus(Script script = {}) {
    RecordingSystemOps ops(std::move(script));
    std::string out;
    const char* args[] = {"moxctrl", "C"};
    const int code = RunCommand(args, ops, out);
    return {code, out, ops.calls()};
  }

  std::string StatusFile() const {
    std::ifstream in(dir_.path() / "MOXCTRL.DAT", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  testing::ScopedTempDir dir_;
  testing::ScopedCurrentDir cwd_{dir_.path()};
};

TEST_F(StatusTest, ProbesEveryPeerOnceInGroupOrderRechtsInfCommLinksInfProc) {
  const std::vector<std::string> expected = {
      "IsPeerRunning \"PELKAR_MTX\" -> absent", "IsPeerRunning \"DUMERA_MTX\" -> absent",
      "IsPeerRunning \"TARVEX_MTX\" -> absent", "IsPeerRunning \"QUILMO_MTX\" -> absent",
      "IsPeerRunning \"MOXCOM_MTX\" -> absent", "IsPeerRunning \"MOXPRG_MTX\" -> absent",
      "IsPeerRunning \"VESKOR_MTX\" -> absent", "IsPeerRunning \"SALVOR_MTX\" -> absent",
      "IsPeerRunning \"FUDLIN_MTX\" -> absent",
  };
  EXPECT_EQ(RunStatus().calls, expected);
}

TEST_F(StatusTest, ReportsAGroupRunningOnlyWhenEveryMemberRuns) {
  struct Case {
    const char* name;
    std::set<std::string> running;
    const char* out;
    const char* file;
  };
  const std::set<std::string> all = {"MOXPRG_MTX", "VESKOR_MTX", "MOXCOM_MTX",
                                     "PELKAR_MTX", "DUMERA_MTX", "TARVEX_MTX",
                                     "QUILMO_MTX", "SALVOR_MTX", "FUDLIN_MTX"};
  const Case cases[] = {
      {"none",                     {},                           "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';", "EFFE"},
      {"all",                      all,                          "statusLinks='S';statusRechts='N';statusInfComm='N';statusInfProc='S';", "SNNS"},
      {"Links but MOXCOM",
       {"MOXPRG_MTX", "VESKOR_MTX"},
       "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';",                                                           "EFFE"},
      {"Rechts only",
       {"PELKAR_MTX", "DUMERA_MTX"},
       "statusLinks='E';statusRechts='N';statusInfComm='F';statusInfProc='E';",                                                           "ENFE"},
      {"InfComm and InfProc",
       {"TARVEX_MTX", "QUILMO_MTX", "SALVOR_MTX", "FUDLIN_MTX"},
       "statusLinks='E';statusRechts='F';statusInfComm='N';statusInfProc='S';",                                                           "EFNS"},
      {"one member of each group",
       {"MOXPRG_MTX", "DUMERA_MTX", "TARVEX_MTX", "FUDLIN_MTX"},
       "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';",                                                           "EFFE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = RunStatus({.existing_mutexes = c.running});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(StatusFile(), c.file);
  }
  // Missing one member of an otherwise running installation.
  for (const std::string& missing : all) {
    SCOPED_TRACE(missing);
    std::set<std::string> running = all;
    running.erase(missing);
    const std::string file = (RunStatus({.existing_mutexes = running}), StatusFile());
    EXPECT_EQ(std::count(file.begin(), file.end(), 'E') + std::count(file.begin(), file.end(), 'F'),
              1);
  }
}

TEST_F(StatusTest, LongerOldStatusFileIsReplacedByFourBytes) {
  std::ofstream(dir_.path() / "MOXCTRL.DAT", std::ios::binary) << "SNNS and a lot more\r\n";
  RunStatus({
      .existing_mutexes = {"PELKAR_MTX", "DUMERA_MTX"}
  });
  EXPECT_EQ(StatusFile(), "ENFE");
}

TEST_F(StatusTest, StatusFileThatCannotBeOpenedLeavesTheOutputComplete) {
  std::filesystem::create_directory(dir_.path() / "MOXCTRL.DAT");
  const Outcome run = RunStatus();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "MOXCTRL.DAT"));
}

}  // namespace
}  // namespace mox
