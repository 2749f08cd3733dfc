// The whole system with real processes: moxctrl starting, stopping and
// reporting moxpeer processes in a temporary installation laid out by
// tools/make-demo. Each test has its own installation and its own object
// directory, so tests may run side by side; every process a test leaves
// behind carries that directory in its environment and is killed after it.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "installation_dirs.h"
#include "process_support.h"

namespace mox {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using support::AwaitEnd;
using support::Clock;
using support::Outcome;
using support::Process;
using support::ReadFile;
using support::Reap;
using support::StatusLine;
using support::WriteFile;

// Far below every start (15000/20000 ms) and stop (30000 ms) time-out, far
// above what a prompt acknowledgement takes even on a loaded machine.
constexpr milliseconds kPrompt{5000};

class Installation : public support::InstallationDirs {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeDirectories("mox-e2e"));
    peer_program_ = fs::canonical(MOXPEER_PATH).string();
    const Outcome made =
        Spawn({"/bin/bash", MAKE_DEMO_PATH, install_.string(), MOXPEER_PATH}, root_);
    ASSERT_EQ(made.exit_code, 0) << made.err;
  }

  void TearDown() override {
    support::KillAll(Processes());
    RemoveDirectories();
  }

  // --- running programs ----------------------------------------------------

  // Starts a program in `cwd` with `objects` as its object directory,
  // standard output and error going to files. Returns its pid, or -1.
  pid_t Launch(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& out,
               const fs::path& err, const fs::path& objects) const {
    return support::SpawnRedirected(
        args, cwd, support::EnvironmentWith({"MOX_OBJECT_DIR=" + objects.string()}), out, err);
  }

  // Runs a program to its end.
  Outcome Spawn(const std::vector<std::string>& args, const fs::path& cwd,
                std::optional<fs::path> objects = std::nullopt) const {
    const fs::path out = io_ / "out";
    const fs::path err = io_ / "err";
    const auto start = Clock::now();
    const pid_t pid = Launch(args, cwd, out, err, objects.value_or(objects_));
    return support::Collect(pid, start, out, err);
  }

  // moxctrl with one argument, from the installation root unless told.
  Outcome Ctl(const std::string& argument, const fs::path& cwd = {}) const {
    return Spawn({MOXCTRL_PATH, argument}, cwd.empty() ? install_ : cwd);
  }

  // The status letters as printed; checks the status file says the same.
  std::string Status(const fs::path& cwd = {}) const {
    const Outcome o = Ctl("C", cwd);
    EXPECT_EQ(o.exit_code, 0);
    const std::string letters = ReadFile((cwd.empty() ? install_ : cwd) / "MOXCTRL.DAT");
    EXPECT_EQ(o.out, StatusLine(letters));
    return letters;
  }

  // --- looking at processes -------------------------------------------------

  // Live processes that carry this test's object directory: peers, the
  // programs they run, and anything the test started itself.
  std::vector<Process> Processes() const {
    return support::ProcessesWith("MOX_OBJECT_DIR=" + objects_.string());
  }

  // The running moxpeer processes installed as `executable`.
  std::vector<Process> Peers(const std::string& executable) const {
    std::vector<Process> peers;
    for (Process& p : Processes()) {
      if (p.exe == peer_program_ && !p.argv.empty() && support::BaseName(p.argv[0]) == executable) {
        peers.push_back(std::move(p));
      }
    }
    return peers;
  }

  std::vector<Process> AllPeers() const {
    std::vector<Process> peers;
    for (Process& p : Processes()) {
      if (p.exe == peer_program_) peers.push_back(std::move(p));
    }
    return peers;
  }

  // The one running peer installed as `executable`; fails the test otherwise.
  Process OnePeer(const std::string& executable) const {
    std::vector<Process> peers = Peers(executable);
    EXPECT_EQ(peers.size(), 1u) << executable;
    return peers.empty() ? Process{} : peers.front();
  }

  fs::path Dir(const std::string& relative) const { return fs::canonical(install_ / relative); }

  std::string peer_program_;
};

// --- the tests ------------------------------------------------------------

TEST_F(Installation, EveryGroupStartsAndStopsPromptlyAndIsReported) {
  EXPECT_EQ(Status(), "EFFE");
  struct Step {
    const char* letter;
    const char* status_after;
  };
  const auto run = [&](std::initializer_list<Step> steps) {
    for (const Step& s : steps) {
      SCOPED_TRACE(s.letter);
      const Outcome o = Ctl(s.letter);
      EXPECT_EQ(o.exit_code, 0);
      EXPECT_EQ(o.out + o.err, "");
      EXPECT_LT(o.took, kPrompt);
      EXPECT_EQ(Status(), s.status_after);
    }
  };
  run({
      Step{"S", "SFFE"},
      Step{"N", "SNFE"},
      Step{"A", "SNNE"},
      Step{"B", "SNNS"}
  });
  const std::vector<Process> peers = AllPeers();
  EXPECT_EQ(peers.size(), 9u);

  // A status taken right after a stop returns must already see the group
  // stopped: each peer lets go of its mutex before it acknowledges.
  run({
      Step{"E", "ENNS"},
      Step{"F", "EFNS"},
      Step{"D", "EFFS"},
      Step{"X", "EFFE"}
  });
  for (const Process& p : peers) EXPECT_TRUE(AwaitEnd(p.pid, kPrompt)) << p.argv[0];
}

TEST_F(Installation, PeersRunWithTheirParametersInTheirDirectories) {
  for (const char* letter : {"S", "N", "A", "B"}) ASSERT_EQ(Ctl(letter).exit_code, 0);
  struct Expected {
    const char* executable;
    const char* directory;
    std::vector<std::string> arguments;
  };
  const Expected expected[] = {
      {"KARN.EXE",      "MOX/GENERATOR/MOX",   {"KARN.INI"}  },
      {"TOLV.EXE",      "MOX/GENERATOR/MOX",   {"TOLV.INI"}  },
      {"MOXCOM.EXE",    "MOX/GENERATOR/COMM",  {"PORVIN.INI"}},
      {"PELKAR.EXE",    "MOX/GENERATOR/COMM",  {"PORVIN.INI"}},
      {"DUMERA.EXE",    "MOX/GENERATOR/COMM",  {"PORVIN.INI"}},
      {"TARVEX.EXE",    "MOX/INFORMATOR/COMM", {"PORVIN.INI"}},
      {"QUILMO.EXE",    "MOX/INFORMATOR/COMM", {"PORVIN.INI"}},
      {"MOXGRENOT.EXE", "MOX/INFORMATOR/MOX",  {}            },
      {"MOXFUDLIN.EXE", "MOX/INFORMATOR/MOX",  {}            },
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.executable);
    const Process p = OnePeer(e.executable);
    EXPECT_EQ(p.cwd, Dir(e.directory));
    ASSERT_FALSE(p.argv.empty());
    EXPECT_EQ(std::vector<std::string>(p.argv.begin() + 1, p.argv.end()), e.arguments);
  }
}

TEST_F(Installation, LocalModeFromTheGeneratorCommDirectory) {
  const fs::path comm = install_ / "MOX/GENERATOR/COMM";
  for (const char* letter : {"s", "n"}) {
    SCOPED_TRACE(letter);
    const Outcome o = Ctl(letter, comm);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_LT(o.took, kPrompt);
  }
  EXPECT_EQ(OnePeer("KARN.EXE").cwd, Dir("MOX/GENERATOR/MOX"));
  EXPECT_EQ(OnePeer("TOLV.EXE").cwd, Dir("MOX/GENERATOR/MOX"));
  EXPECT_EQ(OnePeer("KARN.EXE").argv.back(), "KARN.INI");
  for (const char* exe : {"MOXCOM.EXE", "PELKAR.EXE", "DUMERA.EXE"}) {
    SCOPED_TRACE(exe);
    EXPECT_EQ(OnePeer(exe).cwd, Dir("MOX/GENERATOR/COMM"));
  }

  // The status file goes to the directory the command runs in.
  EXPECT_EQ(Status(comm), "SNFE");
  EXPECT_FALSE(fs::exists(install_ / "MOXCTRL.DAT"));

  for (const char* letter : {"e", "f"}) EXPECT_LT(Ctl(letter, comm).took, kPrompt);
  EXPECT_EQ(Status(comm), "EFFE");
}

TEST_F(Installation, StartEndsAtOnceWhenAMemberAlreadyRuns) {
  ASSERT_EQ(Ctl("S").exit_code, 0);
  const pid_t first_karn = OnePeer("KARN.EXE").pid;
  // Leave only TOLV, the second member, running.
  for (const char* exe : {"KARN.EXE", "MOXCOM.EXE"}) {
    const Process p = OnePeer(exe);
    ::kill(p.pid, SIGKILL);
    ASSERT_TRUE(AwaitEnd(p.pid, kPrompt));
  }
  // Were the command to wait, the new KARN would keep it for 3 s.
  WriteFile(install_ / "MOX/GENERATOR/MOX/KARN.INI", "[KARN]\nstart_delay_ms = 3000\n");

  const Outcome o = Ctl("S");
  EXPECT_EQ(o.exit_code, 0);
  EXPECT_LT(o.took, milliseconds(2000));
  // KARN was launched before TOLV was probed. The command did not wait for
  // it, so it may still be inside its exec, not yet showing its environment.
  std::vector<Process> karn;
  for (int i = 0; i < 200 && (karn = Peers("KARN.EXE")).empty(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_EQ(karn.size(), 1u);
  EXPECT_NE(karn.front().pid, first_karn);
  EXPECT_TRUE(Peers("MOXCOM.EXE").empty());  // never launched
  EXPECT_EQ(Status(), "EFFE");
}

TEST_F(Installation, KilledPeerIsReportedStoppedAndItsGroupStartsAgain) {
  ASSERT_EQ(Ctl("B").exit_code, 0);
  ASSERT_EQ(Status(), "EFFS");

  const Process salvor = OnePeer("MOXGRENOT.EXE");
  ::kill(salvor.pid, SIGKILL);
  ASSERT_TRUE(AwaitEnd(salvor.pid, kPrompt));
  EXPECT_EQ(Status(), "EFFE");

  const Process fudlin = OnePeer("MOXFUDLIN.EXE");
  ::kill(fudlin.pid, SIGKILL);
  ASSERT_TRUE(AwaitEnd(fudlin.pid, kPrompt));

  // Nothing the killed peers left behind stands in the way.
  const Outcome start = Ctl("B");
  EXPECT_LT(start.took, kPrompt);
  EXPECT_EQ(Status(), "EFFS");
  const Outcome stop = Ctl("X");
  EXPECT_LT(stop.took, kPrompt);
  EXPECT_EQ(Status(), "EFFE");
}

TEST_F(Installation, LateAcknowledgementsAreWaitedFor) {
  WriteFile(install_ / "MOX/GENERATOR/COMM/PORVIN.INI",
            "[PELKAR]\nstart_delay_ms = 400\n[DUMERA]\nstop_delay_ms = 400\n");
  const Outcome start = Ctl("N");
  EXPECT_GE(start.took, milliseconds(400));
  EXPECT_LT(start.took, kPrompt);
  EXPECT_EQ(Status(), "ENFE");

  const Outcome stop = Ctl("F");
  EXPECT_GE(stop.took, milliseconds(400));
  EXPECT_LT(stop.took, kPrompt);
  EXPECT_EQ(Status(), "EFFE");
}

// The only slow test: a start acknowledgement that never comes costs the
// group's whole 15000 ms start wait.
TEST_F(Installation, StartNeverAcknowledgedCostsTheWholeWait) {
  WriteFile(install_ / "MOX/INFORMATOR/COMM/PORVIN.INI", "[TARVEX]\nack_start = no\n");
  const Outcome start = Ctl("A");
  EXPECT_EQ(start.exit_code, 0);
  EXPECT_GE(start.took, milliseconds(15000));
  EXPECT_LT(start.took, milliseconds(25000));
  EXPECT_EQ(Status(), "EFNE");  // running all the same
  EXPECT_LT(Ctl("D").took, kPrompt);
  EXPECT_EQ(Status(), "EFFE");
}

TEST_F(Installation, CommandRunsAsThePeersWorkAndStopsWithIt) {
  WriteFile(install_ / "MOX/GENERATOR/COMM/PORVIN.INI", "[PELKAR]\ncommand = sleep 1000\n");
  const Outcome start = Ctl("N");
  EXPECT_LT(start.took, kPrompt);
  EXPECT_EQ(Status(), "ENFE");

  const Process pelkar = OnePeer("PELKAR.EXE");
  std::vector<Process> work;
  for (Process& p : Processes()) {
    if (p.parent == pelkar.pid) work.push_back(std::move(p));
  }
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work.front().argv, (std::vector<std::string>{"sleep", "1000"}));
  EXPECT_EQ(work.front().cwd, Dir("MOX/GENERATOR/COMM"));

  const Outcome stop = Ctl("F");
  EXPECT_LT(stop.took, kPrompt);
  EXPECT_EQ(Status(), "EFFE");
  EXPECT_TRUE(AwaitEnd(work.front().pid, kPrompt));
  EXPECT_TRUE(AwaitEnd(pelkar.pid, kPrompt));
}

TEST_F(Installation, PeerEndsWhenItsCommandEnds) {
  WriteFile(install_ / "MOX/GENERATOR/COMM/PORVIN.INI", "[DUMERA]\ncommand = sleep 0.3\n");
  ASSERT_LT(Ctl("N").took, kPrompt);
  EXPECT_EQ(Status(), "ENFE");
  const Process dumera = OnePeer("DUMERA.EXE");
  EXPECT_TRUE(AwaitEnd(dumera.pid, kPrompt));
  EXPECT_EQ(Status(), "EFFE");
  EXPECT_EQ(Peers("PELKAR.EXE").size(), 1u);
}

TEST_F(Installation, PeersStartedByHandSayNothingAndStopOnRequest) {
  const fs::path dir = install_ / "MOX/INFORMATOR/MOX";
  std::vector<pid_t> pids;
  for (const char* exe : {"MOXGRENOT.EXE", "MOXFUDLIN.EXE"}) {
    pids.push_back(Launch({(dir / exe).string()}, dir, io_ / (std::string(exe) + ".out"),
                          io_ / (std::string(exe) + ".err"), objects_));
    ASSERT_GT(pids.back(), 0);
  }
  // No start event exists to tell when they are up; a peer holds its mutex
  // only once it is ready for a stop request.
  std::string status;
  for (int i = 0; i < 500 && (status = Status()) != "EFFS"; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_EQ(status, "EFFS");

  const Outcome stop = Ctl("X");
  EXPECT_LT(stop.took, kPrompt);
  for (std::size_t i = 0; i < pids.size(); ++i) EXPECT_EQ(Reap(pids[i]), 0);
  for (const char* exe : {"MOXGRENOT.EXE", "MOXFUDLIN.EXE"}) {
    EXPECT_EQ(ReadFile(io_ / (std::string(exe) + ".out")), "");
    EXPECT_EQ(ReadFile(io_ / (std::string(exe) + ".err")), "");
  }
  EXPECT_EQ(Status(), "EFFE");
}

TEST_F(Installation, MisconfiguredPeerTouchesNoObject) {
  WriteFile(install_ / "MOX/GENERATOR/MOX/KARN.INI",
            "[KARN]\nstart_delay_ms = 10\nack_stop = nope\n");
  struct Case {
    const char* name;
    fs::path program;
    const char* argument;
    const char* error_part;
  };
  const Case cases[] = {
      {"malformed parameter file", install_ / "MOX/GENERATOR/MOX/KARN.EXE", "KARN.INI",
       "KARN.INI:3: "                                                                              },
      {"not a peer's name",        MOXPEER_PATH,                            "KARN.INI", "'moxpeer'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path untouched = root_ / "untouched";
    ASSERT_EQ(::mkdir(untouched.c_str(), 0700), 0);
    const Outcome o =
        Spawn({c.program.string(), c.argument}, install_ / "MOX/GENERATOR/MOX", untouched);
    EXPECT_EQ(o.exit_code, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(c.error_part), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_TRUE(fs::is_empty(untouched));
    fs::remove_all(untouched);
  }
}

TEST_F(Installation, DemoCycleLeavesNothingRunning) {
  const Outcome o = Spawn({"/bin/bash", DEMO_CYCLE_PATH, install_.string(), MOXCTRL_PATH}, root_);
  EXPECT_EQ(o.exit_code, 0) << o.out << o.err;
  const auto running = o.out.find(StatusLine("SNNS"));
  const auto stopped = o.out.rfind(StatusLine("EFFE"));
  EXPECT_NE(running, std::string::npos) << o.out;
  EXPECT_NE(stopped, std::string::npos);
  EXPECT_GT(stopped, running);
  EXPECT_NE(o.out.find("$ moxctrl X"), std::string::npos);
  EXPECT_NE(o.out.find(" ms"), std::string::npos);
  EXPECT_TRUE(AllPeers().empty());
}

}  // namespace
}  // namespace mox
