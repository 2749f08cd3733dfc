// Group start and stop, as the exact sequence of system calls each letter
// makes against a scripted system.
#include "peers/group_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command.h"
#include "recording_system_ops.h"

namespace mox {
namespace {

using testing::RecordingSystemOps;
using testing::Script;
using Calls = std::vector<std::string>;

Calls CallsFor(const char* arg, Script script = {}) {
  RecordingSystemOps ops(std::move(script));
  std::string out;
  const char* args[] = {"moxctrl", arg};
  EXPECT_EQ(RunCommand(args, ops, out), 0);
  EXPECT_EQ(out, "");
  return ops.calls();
}

std::string Probe(const char* mutex, bool present = false) {
  return std::string("IsPeerRunning \"") + mutex + "\" -> " + (present ? "present" : "absent");
}
std::string StartEvent(const char* name, int handle) {
  return std::string("CreateEvent \"") + name + "\" manual_reset=1 initial=0 -> " +
         (handle ? "h" + std::to_string(handle) : "null");
}
std::string StopEvent(const char* name, int handle) {
  return std::string("CreateEvent \"") + name + "\" manual_reset=1 initial=1 -> " +
         (handle ? "h" + std::to_string(handle) : "null");
}
std::string Launch(const char* file, const char* params, const char* dir) {
  return std::string("Launch verb=\"open\" file=\"") + file + "\" parameters=" + params +
         " directory=" + dir + " show=hide";
}

TEST(StartGroup, LaunchesEveryMemberThenWaitsForAllStartEvents) {
  struct Case {
    const char* arg;
    Calls expected;
  };
  const Case cases[] = {
      {"S",
       {Probe("MOXPRG_MTX"), StartEvent("StartMoxKarnEvent", 1),
        Launch("KARN.EXE", "\"KARN.INI\"", "\".\\MOX\\GENERATOR\\MOX\""), Probe("VESKOR_MTX"),
        StartEvent("StartMoxTolvEvent", 2),
        Launch("TOLV.EXE", "\"TOLV.INI\"", "\".\\MOX\\GENERATOR\\MOX\""), Probe("MOXCOM_MTX"),
        StartEvent("StartMoxComEvent", 3),
        Launch("MOXCOM.EXE", "\"PORVIN.INI\"", "\".\\MOX\\GENERATOR\\COMM\""),
        "Wait count=3 [h1,h2,h3] wait_all=1 timeout=20000"}},
      {"s",
       {Probe("MOXPRG_MTX"), StartEvent("StartMoxKarnEvent", 1),
        Launch("..\\MOX\\KARN.EXE", "\"KARN.INI\"", "\"..\\MOX\""), Probe("VESKOR_MTX"),
        StartEvent("StartMoxTolvEvent", 2),
        Launch("..\\MOX\\TOLV.EXE", "\"TOLV.INI\"", "\"..\\MOX\""), Probe("MOXCOM_MTX"),
        StartEvent("StartMoxComEvent", 3), Launch("MOXCOM.EXE", "\"PORVIN.INI\"", "<none>"),
        "Wait count=3 [h1,h2,h3] wait_all=1 timeout=20000"}},
      {"N",
       {Probe("PELKAR_MTX"), StartEvent("StartPelkarEvent", 1),
        Launch("PELKAR.EXE", "\"PORVIN.INI\"", "\".\\MOX\\GENERATOR\\COMM\""), Probe("DUMERA_MTX"),
        StartEvent("StartDumeraEvent", 2),
        Launch("DUMERA.EXE", "\"PORVIN.INI\"", "\".\\MOX\\GENERATOR\\COMM\""),
        "Wait count=2 [h1,h2] wait_all=1 timeout=15000"}   },
      {"n",
       {Probe("PELKAR_MTX"), StartEvent("StartPelkarEvent", 1),
        Launch("PELKAR.EXE", "\"PORVIN.INI\"", "<none>"), Probe("DUMERA_MTX"),
        StartEvent("StartDumeraEvent", 2), Launch("DUMERA.EXE", "\"PORVIN.INI\"", "<none>"),
        "Wait count=2 [h1,h2] wait_all=1 timeout=15000"}   },
      {"a",
       {Probe("TARVEX_MTX"), StartEvent("StartTarvexEvent", 1),
        Launch("TARVEX.EXE", "\"PORVIN.INI\"", "\".\\MOX\\INFORMATOR\\COMM\""), Probe("QUILMO_MTX"),
        StartEvent("StartQuilmoEvent", 2),
        Launch("QUILMO.EXE", "\"PORVIN.INI\"", "\".\\MOX\\INFORMATOR\\COMM\""),
        "Wait count=2 [h1,h2] wait_all=1 timeout=15000"}   },
 // No parameter string at all, which is not an empty one.
      {"B",
       {Probe("SALVOR_MTX"), StartEvent("StartSalvorEvent", 1),
        Launch("MOXGRENOT.EXE", "<none>", "\".\\MOX\\INFORMATOR\\MOX\""), Probe("FUDLIN_MTX"),
        StartEvent("StartFudlinEvent", 2),
        Launch("MOXFUDLIN.EXE", "<none>", "\".\\MOX\\INFORMATOR\\MOX\""),
        "Wait count=2 [h1,h2] wait_all=1 timeout=15000"}   },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    EXPECT_EQ(CallsFor(c.arg), c.expected);
  }
}

// A running member ends the command at once: the members launched before it
// stay launched, nobody after it is probed, and nothing is waited for.
TEST(StartGroup, RunningMemberEndsTheCommandWithoutWaiting) {
  struct Case {
    const char* name;
    const char* running;
    Calls expected;
  };
  const Case cases[] = {
      {"first",  "MOXPRG_MTX", {Probe("MOXPRG_MTX", true)}},
      {"second",
       "VESKOR_MTX",           {Probe("MOXPRG_MTX"), StartEvent("StartMoxKarnEvent", 1),
        Launch("KARN.EXE", "\"KARN.INI\"", "\".\\MOX\\GENERATOR\\MOX\""),
        Probe("VESKOR_MTX", true)}    },
      {"third",
       "MOXCOM_MTX",           {Probe("MOXPRG_MTX"), StartEvent("StartMoxKarnEvent", 1),
        Launch("KARN.EXE", "\"KARN.INI\"", "\".\\MOX\\GENERATOR\\MOX\""), Probe("VESKOR_MTX"),
        StartEvent("StartMoxTolvEvent", 2),
        Launch("TOLV.EXE", "\"TOLV.INI\"", "\".\\MOX\\GENERATOR\\MOX\""),
        Probe("MOXCOM_MTX", true)}    },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CallsFor("S", {.existing_mutexes = {c.running}}), c.expected);
  }
}

TEST(StartGroup, FailedEventCreationLeavesANullSlotInTheWait) {
  const Calls calls = CallsFor("N", {.failing_events = {"StartPelkarEvent"}});
  const Calls expected = {Probe("PELKAR_MTX"),
                          StartEvent("StartPelkarEvent", 0),
                          Launch("PELKAR.EXE", "\"PORVIN.INI\"", "\".\\MOX\\GENERATOR\\COMM\""),
                          Probe("DUMERA_MTX"),
                          StartEvent("StartDumeraEvent", 1),
                          Launch("DUMERA.EXE", "\"PORVIN.INI\"", "\".\\MOX\\GENERATOR\\COMM\""),
                          "Wait count=2 [null,h1] wait_all=1 timeout=15000"};
  EXPECT_EQ(calls, expected);
}

TEST(StopGroup, ResetsEveryStopEventInOrderThenWaitsThirtySeconds) {
  struct Case {
    const char* arg;
    std::vector<const char*> events;
  };
  const Case cases[] = {
      {"E", {"StopMoxKarnEvent", "StopMoxTolvEvent", "StopMoxComEvent"}},
      {"F", {"StopPelkarEvent", "StopDumeraEvent"}                     },
      {"D", {"StopTarvexEvent", "StopQuilmoEvent"}                     },
      {"x", {"StopSalvorEvent", "StopFudlinEvent"}                     },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    Calls expected;
    std::string handles;
    for (std::size_t i = 0; i < c.events.size(); ++i) {
      const std::string h = "h" + std::to_string(i + 1);
      expected.push_back(StopEvent(c.events[i], static_cast<int>(i + 1)));
      expected.push_back("ResetEvent " + h);
      handles += (i ? "," : "") + h;
    }
    expected.push_back("Wait count=" + std::to_string(c.events.size()) + " [" + handles +
                       "] wait_all=1 timeout=30000");
    // Running peers change nothing: a stop never probes or launches.
    Script everything_runs;
    for (const PeerEntry& p : kPeerTable) everything_runs.existing_mutexes.insert(p.mutex_name);
    EXPECT_EQ(CallsFor(c.arg), expected);
    EXPECT_EQ(CallsFor(c.arg, everything_runs), expected);
  }
}

TEST(StopGroup, FailedEventCreationStillResetsAndWaitsOnTheNullSlot) {
  const Calls expected = {StopEvent("StopTarvexEvent", 1), "ResetEvent h1",
                          StopEvent("StopQuilmoEvent", 0), "ResetEvent null",
                          "Wait count=2 [h1,null] wait_all=1 timeout=30000"};
  EXPECT_EQ(CallsFor("D", {.failing_events = {"StopQuilmoEvent"}}), expected);
}

}  // namespace
}  // namespace mox
