// Peers and controllers killed with SIGKILL in the middle of a start or stop
// handshake. Afterwards the status must tell the truth, and the next start,
// stop and status must behave as on a fresh installation: nothing a dead
// process held may block anyone.
//
// The handshake points are reached with the reference peer's delays and
// recognised from outside: a peer in its start delay sleeps in futex (its
// delay is a wait on the stop event), one in its stop delay sleeps in
// clock_nanosleep.
#include <signal.h>
#include <sys/syscall.h>

#include "fault_fixture.h"

namespace mox::fault {
namespace {

constexpr char kRechtsParameters[] = "MOX/GENERATOR/COMM/PORVIN.INI";

bool Sleeping(pid_t pid) {
#ifdef SYS_nanosleep
  if (InSystemCall(pid, SYS_nanosleep)) return true;
#endif
  return InSystemCall(pid, SYS_clock_nanosleep);
}

class Handshake : public Installation {
 protected:
  // PELKAR, in its start delay, has not acknowledged; DUMERA has.
  bool PelkarHoldsBackItsStart() const {
    const std::vector<Process> pelkar = Peers("PELKAR.EXE");
    return pelkar.size() == 1 && InSystemCall(pelkar.front().pid, SYS_futex) &&
           !EventSignalled("StartPelkarEvent") && EventSignalled("StartDumeraEvent");
  }

  // The peer was asked to stop and sleeps in its stop delay.
  bool InItsStopDelay(const std::string& executable, const std::string& stop_event) const {
    const std::vector<Process> peers = Peers(executable);
    return peers.size() == 1 && !EventSignalled(stop_event) && Sleeping(peers.front().pid);
  }

  static void ExpectQuietAndPrompt(const Outcome& o) {
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_LT(o.took, kPrompt);
    EXPECT_FALSE(o.hung);
  }

  // A start and a stop of Rechts from a state where nothing of it runs.
  void ExpectAFreshCycle() {
    SetParameters(kRechtsParameters, "");
    ExpectQuietAndPrompt(Ctl("N"));
    EXPECT_EQ(Status(), "ENFE");
    ExpectQuietAndPrompt(Ctl("F"));
    EXPECT_EQ(Status(), "EFFE");
    EXPECT_TRUE(WaitUntil([&] { return AllPeers().empty(); }, kPrompt));
  }
};

TEST_F(Handshake, PeerKilledAtEachPointOfTheHandshake) {
  enum class Point { before_start_ack, running, before_stop_ack };
  struct Case {
    const char* name;
    Point point;
    const char* parameters;
  };
  const Case cases[] = {
      {"killed before setting its start event",       Point::before_start_ack,
       "[PELKAR]\nstart_delay_ms = 60000\n"                                      },
      {"killed while running",                        Point::running,          ""},
      {"killed after a stop request, before its ack", Point::before_stop_ack,
       "[PELKAR]\nstop_delay_ms = 60000\n"                                       },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetParameters(kRechtsParameters, c.parameters);
    // The controller still waiting for the killed peer, if any.
    std::optional<Running> waiting;
    switch (c.point) {
      case Point::before_start_ack:
        waiting = StartCtl("N");
        ASSERT_TRUE(WaitUntil([&] { return PelkarHoldsBackItsStart(); }, kPrompt));
        break;
      case Point::running:
        ExpectQuietAndPrompt(Ctl("N"));
        ASSERT_EQ(Status(), "ENFE");
        break;
      case Point::before_stop_ack:
        ExpectQuietAndPrompt(Ctl("N"));
        ASSERT_EQ(Status(), "ENFE");
        waiting = StartCtl("F");
        ASSERT_TRUE(WaitUntil(
            [&] {
              return Peers("DUMERA.EXE").empty() && InItsStopDelay("PELKAR.EXE", "StopPelkarEvent");
            },
            kPrompt));
        break;
    }

    const Process pelkar = OnePeer("PELKAR.EXE");
    ASSERT_EQ(::kill(pelkar.pid, SIGKILL), 0);
    ASSERT_TRUE(AwaitEnd(pelkar.pid, kPrompt));
    EXPECT_EQ(Status(), "EFFE");

    // PELKAR is the first member: a start launches it whatever DUMERA does,
    // and ends at once if DUMERA still runs.
    SetParameters(kRechtsParameters, "");
    ExpectQuietAndPrompt(Ctl("N"));
    EXPECT_EQ(AwaitStatus("ENFE"), "ENFE");
    EXPECT_EQ(Peers("PELKAR.EXE").size(), 1u);
    EXPECT_EQ(Peers("DUMERA.EXE").size(), 1u);

    // The new PELKAR answers on the same event the old controller still
    // holds (its start event, or its stop event, which a starting peer sets),
    // so that controller ends now instead of at its time-out.
    if (waiting) {
      const Outcome o = Finish(*waiting, kPrompt);
      EXPECT_FALSE(o.hung) << "the interrupted command is still waiting";
      EXPECT_EQ(o.exit_code, 0);
      EXPECT_EQ(o.out + o.err, "");
    }

    ExpectQuietAndPrompt(Ctl("F"));
    EXPECT_EQ(Status(), "EFFE");
    EXPECT_TRUE(WaitUntil([&] { return AllPeers().empty(); }, kPrompt));
  }
}

TEST_F(Handshake, ControllerKilledDuringItsStartWait) {
  SetParameters(kRechtsParameters, "[PELKAR]\nstart_delay_ms = 60000\n");
  const Running start = StartCtl("N");
  ASSERT_TRUE(WaitUntil([&] { return PelkarHoldsBackItsStart(); }, kPrompt));
  ASSERT_EQ(::kill(start.pid, SIGKILL), 0);
  EXPECT_EQ(Finish(start, kPrompt).exit_code, 128 + SIGKILL);

  // Both peers run, acknowledged or not.
  EXPECT_EQ(Status(), "ENFE");
  const pid_t pelkar = OnePeer("PELKAR.EXE").pid;
  const pid_t dumera = OnePeer("DUMERA.EXE").pid;

  // A start finds PELKAR running and ends at once, launching nothing.
  ExpectQuietAndPrompt(Ctl("N"));
  EXPECT_EQ(OnePeer("PELKAR.EXE").pid, pelkar);
  EXPECT_EQ(OnePeer("DUMERA.EXE").pid, dumera);

  // A stop request cuts PELKAR's start delay short; both acknowledge.
  ExpectQuietAndPrompt(Ctl("F"));
  EXPECT_EQ(Status(), "EFFE");
  EXPECT_TRUE(AwaitEnd(pelkar, kPrompt));
  EXPECT_TRUE(AwaitEnd(dumera, kPrompt));

  ExpectAFreshCycle();
}

TEST_F(Handshake, ControllerKilledDuringItsStopWait) {
  // Long enough to take a status while both peers are still stopping.
  constexpr milliseconds kStopDelay{1500};
  SetParameters(kRechtsParameters,
                "[PELKAR]\nstop_delay_ms = 1500\n[DUMERA]\nstop_delay_ms = 1500\n");
  ExpectQuietAndPrompt(Ctl("N"));
  ASSERT_EQ(Status(), "ENFE");
  const pid_t pelkar = OnePeer("PELKAR.EXE").pid;
  const pid_t dumera = OnePeer("DUMERA.EXE").pid;

  const Running stop = StartCtl("F");
  ASSERT_TRUE(WaitUntil(
      [&] {
        return InItsStopDelay("PELKAR.EXE", "StopPelkarEvent") &&
               InItsStopDelay("DUMERA.EXE", "StopDumeraEvent");
      },
      kPrompt));
  ASSERT_EQ(::kill(stop.pid, SIGKILL), 0);
  EXPECT_EQ(Finish(stop, kPrompt).exit_code, 128 + SIGKILL);

  // Still running until their delay is over, and gone after it, though
  // nobody waits for their acknowledgement any more.
  EXPECT_EQ(Status(), "ENFE");
  EXPECT_TRUE(AwaitEnd(pelkar, kStopDelay + kPrompt));
  EXPECT_TRUE(AwaitEnd(dumera, kStopDelay + kPrompt));
  EXPECT_EQ(Status(), "EFFE");

  ExpectAFreshCycle();
}

}  // namespace
}  // namespace mox::fault
