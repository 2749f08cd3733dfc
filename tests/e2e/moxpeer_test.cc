// The reference peer's own logic: its parameter files, its identity, the
// order in which it uses its named objects, and the program it may run.
// The named objects are a recording fake here; the real ones are exercised
// in e2e_test.cc.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "moxpeer/peer.h"
#include "moxpeer/peer_settings.h"
#include "moxpeer/process.h"
#include "temp_dir.h"

namespace mox::moxpeer {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// --- Parameter files -------------------------------------------------------

TEST(PeerSettings, ReadsOnlyItsOwnSection) {
  const std::string text =
      "\xEF\xBB\xBF; written by a Windows editor\r\n"
      "global = ignored\r\n"
      "[PELKAR]\r\n"
      "start_delay_ms = 99\r\n"
      "unknown_here = fine, not our section\r\n"
      "\r\n"
      "[dumera]\r\n"
      "  Start_Delay_MS\t=\t250  \r\n"
      "ACK_START=No\r\n"
      "# a comment\r\n"
      "stop_delay_ms=4294967294\r\n"
      "ack_stop = YES\r\n"
      "command = sh -c \"echo a; echo b\" ; not a comment\r\n"
      "[QUILMO]\r\n"
      "ack_stop = no\r\n"
      "[DUMERA]\r\n"
      "ack_stop = no\r\n";
  const ParsedSettings parsed = ParsePeerSettings(text, "DUMERA");
  ASSERT_FALSE(parsed.error) << parsed.error->message;
  EXPECT_EQ(parsed.settings.start_delay_ms, 250u);
  EXPECT_FALSE(parsed.settings.ack_start);
  EXPECT_EQ(parsed.settings.stop_delay_ms, 4294967294u);
  EXPECT_FALSE(parsed.settings.ack_stop);  // the later [DUMERA] adds to the first
  EXPECT_EQ(parsed.settings.command, "sh -c \"echo a; echo b\" ; not a comment");
}

TEST(PeerSettings, MissingSectionOrEmptyTextGivesDefaults) {
  for (const std::string_view text : {"", "[KARN]\nstart_delay_ms = 5\n", "\n\n; only\n"}) {
    SCOPED_TRACE(text);
    const ParsedSettings parsed = ParsePeerSettings(text, "TOLV");
    ASSERT_FALSE(parsed.error);
    EXPECT_EQ(parsed.settings.start_delay_ms, 0u);
    EXPECT_TRUE(parsed.settings.ack_start);
    EXPECT_EQ(parsed.settings.stop_delay_ms, 0u);
    EXPECT_TRUE(parsed.settings.ack_stop);
    EXPECT_EQ(parsed.settings.command, "");
  }
}

TEST(PeerSettings, MalformedFilesNameTheLine) {
  struct Case {
    const char* name;
    const char* text;
    int line;
    const char* message_part;
  };
  const Case cases[] = {
      {"misspelt key",                           "[KARN]\nstart_dealy_ms=1\n",                      2, "unknown key 'start_dealy_ms'"},
      {"word for a delay",                       "[KARN]\nstart_delay_ms = soon\n",                 2, "whole number"                },
      {"negative delay",                         "[KARN]\nstop_delay_ms=-5\n",                      2, "whole number"                },
      {"fraction",                               "[KARN]\nstop_delay_ms=1.5\n",                     2, "whole number"                },
      {"empty delay",                            "[KARN]\nstart_delay_ms=\n",                       2, "whole number"                },
      {"delay of forever",                       "[KARN]\nstop_delay_ms=4294967295\n",              2, "whole number"                },
      {"huge delay",                             "[KARN]\nstop_delay_ms=99999999999999999999999\n", 2, "whole number"                },
      {"1 for yes",                              "[KARN]\nack_start=1\n",                           2, "yes or no"                   },
      {"maybe",                                  "[karn]\nack_stop = maybe\n",                      2, "yes or no"                   },
      {"unclosed header",                        "; c\n[KARN\nack_stop=no\n",                       2, "section header"              },
      {"empty header",                           "[]\n",                                            1, "section header"              },
      {"no equals sign in another section",      "[TOLV]\njust words\n",                            2, "key = value"                 },
      {"no key",                                 "[KARN]\n= 5\n",                                   2, "missing key"                 },
      {"lines counted across sections and CRLF",
       "[TOLV]\r\nbogus=1\r\n\r\n[KARN]\r\nack_stop=perhaps\r\n",                                   5, "yes or no"                   },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedSettings parsed = ParsePeerSettings(c.text, "KARN");
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->line, c.line);
    EXPECT_NE(parsed.error->message.find(c.message_part), std::string::npos)
        << parsed.error->message;
  }
}

// --- Identity and the parameter file on disk -------------------------------

TEST(PlanPeer, KnowsThePeerByItsExecutableInAnyCase) {
  struct Case {
    const char* base_name;
    PeerId id;
  };
  const Case cases[] = {
      {"KARN.EXE",      PeerId::KARN  },
      {"karn.exe",      PeerId::KARN  },
      {"MoxGrenot.Exe", PeerId::SALVOR},
      {"MOXFUDLIN.EXE", PeerId::FUDLIN},
      {"MOXCOM.EXE",    PeerId::MOXCOM}
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base_name);
    std::ostringstream errors;
    const auto plan = PlanPeer(c.base_name, nullptr, errors);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->self->id, c.id);
    EXPECT_EQ(errors.str(), "");
  }
}

TEST(PlanPeer, RefusesAnUnknownNameInOneLine) {
  for (const char* name : {"moxpeer", "", "KARN", "SALVOR.EXE", "KARN.EXE.bak", "MOXCTRL.EXE"}) {
    SCOPED_TRACE(name);
    std::ostringstream errors;
    EXPECT_FALSE(PlanPeer(name, nullptr, errors));
    const std::string line = errors.str();
    EXPECT_NE(line.find(std::string("'") + name + "'"), std::string::npos) << line;
    EXPECT_NE(line.find("MOXGRENOT.EXE"), std::string::npos) << line;  // lists the real names
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
  }
}

TEST(OwnBaseName, DropsTheDirectory) {
  struct Case {
    const char* argv0;
    const char* base;
  };
  const Case cases[] = {
      {"KARN.EXE",                                 "KARN.EXE"},
      {"/opt/x/MOX/GENERATOR/MOX/../MOX/KARN.EXE", "KARN.EXE"},
      {"..\\MOX\\TOLV.EXE",                        "TOLV.EXE"},
      {"./moxpeer",                                "moxpeer" },
      {nullptr,                                    ""        }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(OwnBaseName(c.argv0), c.base);
  }
}

class PlanPeerFile : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_.path() / name, std::ios::binary) << text;
  }
  testing::ScopedTempDir dir_;
  testing::ScopedCurrentDir cwd_{dir_.path()};
};

TEST_F(PlanPeerFile, ReadsTheFileRelativeToTheCurrentDirectory) {
  Write("PORVIN.INI", "[MOXCOM]\nstart_delay_ms=1\n[TARVEX]\nstart_delay_ms=70\nack_stop=no\n");
  std::ostringstream errors;
  const auto plan = PlanPeer("TARVEX.EXE", "PORVIN.INI", errors);
  ASSERT_TRUE(plan) << errors.str();
  EXPECT_EQ(plan->settings.start_delay_ms, 70u);
  EXPECT_FALSE(plan->settings.ack_stop);
}

TEST_F(PlanPeerFile, MissingOrEmptyFileNameGivesDefaults) {
  for (const char* file : {"NOSUCH.INI", ""}) {
    SCOPED_TRACE(file);
    std::ostringstream errors;
    const auto plan = PlanPeer("KARN.EXE", file, errors);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->settings.start_delay_ms, 0u);
    EXPECT_TRUE(plan->settings.ack_stop);
    EXPECT_EQ(errors.str(), "");
  }
}

TEST_F(PlanPeerFile, MalformedFileIsOneLineWithFileAndLine) {
  Write("KARN.INI", "; demo\n[KARN]\nack_start = perhaps\n");
  std::ostringstream errors;
  EXPECT_FALSE(PlanPeer("KARN.EXE", "KARN.INI", errors));
  EXPECT_EQ(errors.str(),
            "KARN.EXE: KARN.INI:3: 'ack_start' needs yes or no, not 'perhaps' in [KARN]\n");
}

TEST_F(PlanPeerFile, UnreadableFileIsRefused) {
  fs::create_directory(dir_.path() / "DIR.INI");
  std::ostringstream errors;
  EXPECT_FALSE(PlanPeer("KARN.EXE", "DIR.INI", errors));
  EXPECT_EQ(errors.str().rfind("KARN.EXE: DIR.INI: cannot read", 0), 0u) << errors.str();
}

// --- The order of the named objects ----------------------------------------

// Records every call; WaitUntilReset answers from a script, in order.
class RecordingPeerObjects final : public PeerObjects {
 public:
  bool start_event_exists = true;
  bool mutex_fails = false;
  std::deque<ResetWait> waits;
  std::vector<std::string> calls;

  MutexHandle HoldMutex(const char* name) override {
    calls.push_back(std::string("HoldMutex ") + name + (mutex_fails ? " -> null" : ""));
    return MutexHandle{mutex_fails ? 0u : 1u};
  }
  void ReleaseMutex(MutexHandle mutex) override {
    calls.push_back("ReleaseMutex m" + std::to_string(mutex.value));
  }
  EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                bool initially_signalled) override {
    const EventHandle h{++events_};
    calls.push_back(
        std::string("CreateOrOpenEvent ") + name + " manual=" + (manual_reset ? "1" : "0") +
        " signalled=" + (initially_signalled ? "1" : "0") + " -> e" + std::to_string(h.value));
    return h;
  }
  EventHandle OpenEvent(const char* name) override {
    const EventHandle h{start_event_exists ? ++events_ : 0u};
    calls.push_back(std::string("OpenEvent ") + name + " -> " +
                    (h ? "e" + std::to_string(h.value) : "null"));
    return h;
  }
  bool SetEvent(EventHandle e) override {
    calls.push_back("SetEvent e" + std::to_string(e.value));
    return true;
  }
  void CloseEvent(EventHandle e) override {
    calls.push_back("CloseEvent e" + std::to_string(e.value));
  }
  ResetWait WaitUntilReset(EventHandle e, std::uint32_t timeout_ms) override {
    ResetWait r = ResetWait::failed;  // an unscripted wait would block forever
    if (!waits.empty()) {
      r = waits.front();
      waits.pop_front();
    }
    calls.push_back("WaitUntilReset e" + std::to_string(e.value) + " " +
                    (timeout_ms == kInfinite ? "forever" : std::to_string(timeout_ms)) + " -> " +
                    (r == ResetWait::reset       ? "reset"
                     : r == ResetWait::timed_out ? "timed_out"
                                                 : "failed"));
    return r;
  }

 private:
  std::uintptr_t events_ = 0;
};

TEST(RunPeer, KeepsTheHandshakeInOrder) {
  struct Case {
    const char* name;
    PeerSettings settings;
    bool start_event_exists;
    std::deque<ResetWait> waits;
    int exit_code;
    std::vector<std::string> calls;
  };
  const PeerSettings defaults;
  PeerSettings slow_start;
  slow_start.start_delay_ms = 250;
  PeerSettings silent_start;
  silent_start.ack_start = false;
  PeerSettings silent_stop;
  silent_stop.ack_stop = false;

  const Case cases[] = {
      {"defaults",
       defaults,     true,
       {ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> e2", "SetEvent e2", "CloseEvent e2",
        "WaitUntilReset e1 forever -> reset", "ReleaseMutex m1", "SetEvent e1"}             },
      {"start delay waited on the stop event",
       slow_start,   true,
       {ResetWait::timed_out, ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> e2",
        "WaitUntilReset e1 250 -> timed_out", "SetEvent e2", "CloseEvent e2",
        "WaitUntilReset e1 forever -> reset", "ReleaseMutex m1", "SetEvent e1"}             },
      {"stop request during the start delay",
       slow_start,   true,
       {ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> e2",
        "WaitUntilReset e1 250 -> reset", "CloseEvent e2", "ReleaseMutex m1", "SetEvent e1"}},
      {"started by hand: no start event",
       slow_start,   false,
       {ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> null",
        "WaitUntilReset e1 forever -> reset", "ReleaseMutex m1", "SetEvent e1"}             },
      {"ack_start no",
       silent_start, true,
       {ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "WaitUntilReset e1 forever -> reset", "ReleaseMutex m1",
        "SetEvent e1"}                                                                      },
      {"ack_stop no",
       silent_stop,  true,
       {ResetWait::reset},
       0, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> e2", "SetEvent e2", "CloseEvent e2",
        "WaitUntilReset e1 forever -> reset", "ReleaseMutex m1"}                            },
      {"the stop wait fails",
       defaults,     true,
       {ResetWait::failed},
       1, {"CreateOrOpenEvent StopMoxKarnEvent manual=1 signalled=1 -> e1", "SetEvent e1",
        "HoldMutex MOXPRG_MTX", "OpenEvent StartMoxKarnEvent -> e2", "SetEvent e2", "CloseEvent e2",
        "WaitUntilReset e1 forever -> failed", "ReleaseMutex m1"}                           },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPeerObjects objects;
    objects.start_event_exists = c.start_event_exists;
    objects.waits = c.waits;
    std::ostringstream errors;
    const PeerPlan plan{&peer(PeerId::KARN), c.settings};
    EXPECT_EQ(RunPeer(plan, objects, errors), c.exit_code);
    EXPECT_EQ(objects.calls, c.calls);
    EXPECT_EQ(errors.str().empty(), c.exit_code == 0) << errors.str();
  }
}

TEST(RunPeer, NoMutexMeansNoRun) {
  RecordingPeerObjects objects;
  objects.mutex_fails = true;
  std::ostringstream errors;
  EXPECT_EQ(RunPeer(PeerPlan{&peer(PeerId::FUDLIN), {}}, objects, errors), 1);
  EXPECT_EQ(objects.calls, (std::vector<std::string>{
                               "CreateOrOpenEvent StopFudlinEvent manual=1 signalled=1 -> e1",
                               "SetEvent e1", "HoldMutex FUDLIN_MTX -> null"}));
  EXPECT_EQ(errors.str(), "MOXFUDLIN.EXE: cannot hold mutex FUDLIN_MTX\n");
}

TEST(RunPeer, StopDelayPassesBeforeTheMutexGoes) {
  RecordingPeerObjects objects;
  objects.waits = {ResetWait::reset};
  PeerSettings settings;
  settings.stop_delay_ms = 200;
  std::ostringstream errors;
  const auto start = steady_clock::now();
  EXPECT_EQ(RunPeer(PeerPlan{&peer(PeerId::TOLV), settings}, objects, errors), 0);
  EXPECT_GE(steady_clock::now() - start, milliseconds(200));
  EXPECT_EQ(objects.calls.back(), "SetEvent e1");
}

// --- The program a peer runs -----------------------------------------------

// True once `pid` has ended: gone, or a zombie nobody reaped.
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

class ChildProcessTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> Start(const std::string& command) {
    std::string error;
    auto child = ChildProcess::Start(
        command, [this] { ended_.set_value(); }, error);
    EXPECT_TRUE(child) << error;
    return child;
  }
  bool EndReported(milliseconds within) {
    return ended_future_.wait_for(within) == std::future_status::ready;
  }
  // Waits up to 5 s for the program under test to write `file`.
  void AwaitFile(const fs::path& file) {
    std::error_code ec;
    for (int i = 0; i < 500; ++i) {
      const auto size = fs::file_size(file, ec);
      if (!ec && size > 0) return;
      std::this_thread::sleep_for(milliseconds(10));
    }
  }

  testing::ScopedTempDir dir_;
  std::promise<void> ended_;
  std::future<void> ended_future_ = ended_.get_future();
};

TEST_F(ChildProcessTest, ReportsAProgramThatEndsByItself) {
  auto child = Start("true");
  EXPECT_TRUE(EndReported(milliseconds(5000)));
}

TEST_F(ChildProcessTest, StopEndsTheProgramAndWhatItStarted) {
  const fs::path pids = dir_.path() / "pids";
  auto child = Start("sh -c \"sleep 1000 & echo $$ $! > '" + pids.string() + "'; wait\"");
  AwaitFile(pids);
  pid_t shell = 0, helper = 0;
  std::ifstream(pids) >> shell >> helper;
  ASSERT_GT(shell, 0);
  ASSERT_GT(helper, 0);
  ASSERT_FALSE(Ended(helper));

  const auto start = steady_clock::now();
  child->Stop(kChildStopGrace);
  EXPECT_LT(steady_clock::now() - start, milliseconds(5000));  // SIGTERM did it, not SIGKILL
  EXPECT_TRUE(EndReported(milliseconds(5000)));
  EXPECT_TRUE(Ended(shell));
  for (int i = 0; i < 500 && !Ended(helper); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(Ended(helper));
  if (!Ended(helper)) ::kill(helper, SIGKILL);  // it would hold the test's output open
}

TEST_F(ChildProcessTest, ForcesAProgramThatIgnoresTheRequest) {
  const fs::path pid_file = dir_.path() / "pid";
  auto child =
      Start("sh -c \"trap '' TERM; echo $$ > '" + pid_file.string() + "'; exec sleep 1000\"");
  AwaitFile(pid_file);
  pid_t pid = 0;
  std::ifstream(pid_file) >> pid;
  ASSERT_GT(pid, 0);
  const auto start = steady_clock::now();
  child->Stop(milliseconds(300));
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(5000));
  EXPECT_TRUE(EndReported(milliseconds(5000)));
  EXPECT_TRUE(Ended(pid));
}

TEST_F(ChildProcessTest, PassesQuotedArgumentsAndNoDescriptors) {
  const int stray = ::open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(stray, 3);
  const fs::path out = dir_.path() / "out";
  auto child = Start("sh -c \"printf '[%s]' \\\"$1\\\" \\\"$2\\\" > '" + out.string() +
                     "'; test -e /proc/$$/fd/" + std::to_string(stray) + " && echo leaked >> '" +
                     out.string() + "'\" sh \"a b\" c");
  ASSERT_TRUE(EndReported(milliseconds(5000)));
  ::close(stray);
  std::ifstream in(out);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "[a b][c]");
}

TEST(ChildProcess, ProgramThatCannotRunIsAnError) {
  std::string error;
  EXPECT_FALSE(ChildProcess::Start(
      "/nonexistent/program --flag", [] {}, error));
  EXPECT_NE(error.find("/nonexistent/program"), std::string::npos) << error;
  EXPECT_FALSE(ChildProcess::Start(
      "   ", [] {}, error));
}

}  // namespace
}  // namespace mox::moxpeer
