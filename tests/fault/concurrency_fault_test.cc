// Eight controllers at once on one installation: a few seconds of start,
// stop and status letters mixed at random, six workers from the
// installation root and two in local mode from MOX/GENERATOR/COMM, each
// running one moxctrl after another. Then no command may have crashed or
// outlived its time-out, every status file left must hold four valid
// letters, the final status must match the peer processes found in /proc,
// and a full start and stop cycle must run as on a fresh installation.
//
// A stop of a group that does not fully run waits its whole 30 s, so when
// the storm is over the test answers for the peers: it sets every event
// that still exists, as acknowledging peers would, until the last command
// has ended. A command that waits for anything else than its events (a
// lock, a file) is not released by that and shows up as a hang.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "fault_fixture.h"
#include "peers/peer_table.h"
#include "platform/peer_objects.h"

namespace mox::fault {
namespace {

constexpr milliseconds kStormLength{3000};
constexpr int kWorkers = 8;
constexpr int kLocalWorkers = 2;

// Each group's status letters, in report order.
constexpr const char* kStatusPairs[kGroupCount] = {"SE", "NF", "NF", "SE"};

milliseconds TimeOutOf(char letter) {
  switch (letter) {
    case 'S':
    case 's':
      return milliseconds(20000);
    case 'N':
    case 'n':
    case 'A':
    case 'B':
      return milliseconds(15000);
    case 'C':
    case 'c':
      return milliseconds(0);
    default:
      return milliseconds(30000);
  }
}

bool IsStatusLetter(char letter) {
  return letter == 'C' || letter == 'c';
}

struct Issued {
  char letter = 0;
  bool killed_on_purpose = false;
  Outcome outcome;
};

struct WorkerLog {
  std::vector<Issued> commands;
  Clock::time_point finished;
  std::atomic<bool> done{false};
};

class Storm : public Installation {
 protected:
  // One worker: its letters, its directory, one command after another until
  // the storm is over. With `kill`, half of the start and stop commands are
  // killed after a random moment of up to 20 ms.
  void Work(const std::string& letters, const fs::path& cwd, bool kill, unsigned seed,
            Clock::time_point until, WorkerLog& log) const {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    std::uniform_int_distribution<int> coin(0, 1);
    std::uniform_int_distribution<int> moment_us(0, 20000);
    // The first command writes the status file, so there is one to check.
    char letter = IsStatusLetter(letters.back()) ? letters.back() : 'C';
    while (Clock::now() < until) {
      Issued issued;
      issued.letter = letter;
      const fs::path out = io_ / ("storm." + std::to_string(seed) + ".out");
      const fs::path err = io_ / ("storm." + std::to_string(seed) + ".err");
      const auto started = Clock::now();
      const pid_t pid = Launch({MOXCTRL_PATH, std::string(1, letter)}, cwd, out, err, objects_);
      if (pid < 0) {
        issued.outcome.exit_code = -1;
        log.commands.push_back(issued);
        break;
      }
      milliseconds limit = TimeOutOf(letter) + kPrompt;
      if (kill && !IsStatusLetter(letter) && coin(random) == 1) {
        if (!AwaitEnd(pid, std::chrono::duration_cast<milliseconds>(
                               std::chrono::microseconds(moment_us(random))))) {
          ::kill(pid, SIGKILL);
          issued.killed_on_purpose = true;
          limit = kPrompt;
        }
      }
      if (!AwaitEnd(pid, limit)) {
        issued.outcome.hung = true;
        ::kill(pid, SIGKILL);
      }
      issued.outcome.exit_code = Reap(pid);
      issued.outcome.took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
      issued.outcome.out = ReadFile(out);
      issued.outcome.err = ReadFile(err);
      log.commands.push_back(std::move(issued));
      letter = letters[pick(random)];
    }
    log.finished = Clock::now();
    log.done = true;
  }

  // Sets every start and stop event that some process still holds.
  static void AnswerForThePeers(PeerObjects& objects) {
    for (const PeerEntry& p : kPeerTable) {
      for (const char* name : {p.start_event_name, p.stop_event_name}) {
        const EventHandle event = objects.OpenEvent(name);
        if (!event) continue;
        static_cast<void>(objects.SetEvent(event));
        objects.CloseEvent(event);
      }
    }
  }

  // The status letters the peer processes in /proc call for.
  std::string LettersOfTheRunningPeers(const std::vector<Process>& peers) const {
    std::array<bool, kPeerCount> running{};
    for (const Process& p : peers) {
      const PeerEntry* entry = FindPeerByExecutable(fs::path(p.argv[0]).filename().string());
      if (entry != nullptr) running[static_cast<std::size_t>(entry->id)] = true;
    }
    std::string letters;
    for (const PeerGroup& g : kGroupTable) {
      bool all = true;
      for (PeerId id : members(g)) all = all && running[static_cast<std::size_t>(id)];
      letters += kStatusPairs[static_cast<std::size_t>(g.id)][all ? 0 : 1];
    }
    return letters;
  }

  static std::vector<pid_t> Pids(const std::vector<Process>& processes) {
    std::vector<pid_t> pids;
    for (const Process& p : processes) pids.push_back(p.pid);
    std::sort(pids.begin(), pids.end());
    return pids;
  }

  void RunStorm(bool kill) {
    ASSERT_EQ(::setenv("MOX_OBJECT_DIR", objects_.c_str(), 1), 0);
    const fs::path comm = install_ / "MOX/GENERATOR/COMM";
    const unsigned base_seed = std::random_device()();
    SCOPED_TRACE(testing::Message() << "seed " << base_seed);

    std::array<WorkerLog, kWorkers> logs;
    std::vector<std::thread> workers;
    const auto storm_end = Clock::now() + kStormLength;
    for (int i = 0; i < kWorkers; ++i) {
      const bool local = i < kLocalWorkers;
      workers.emplace_back([&, i, local] {
        Work(local ? "ssnnefcc" : "SSNNAABBEFDXCC", local ? comm : install_, kill, base_seed + i,
             storm_end, logs[i]);
      });
    }
    std::this_thread::sleep_until(storm_end);
    const auto release_deadline = Clock::now() + kPrompt;
    while (Clock::now() < release_deadline) {
      AnswerForThePeers(PlatformPeerObjects());
      const bool all_done = std::all_of(logs.begin(), logs.end(),
                                        [](const WorkerLog& log) { return log.done.load(); });
      if (all_done) break;
      std::this_thread::sleep_for(milliseconds(20));
    }
    for (std::thread& t : workers) t.join();

    std::map<char, int> counts;
    int killed = 0;
    for (const WorkerLog& log : logs) {
      EXPECT_LE(log.finished, release_deadline) << "a command outlived the storm";
      for (const Issued& c : log.commands) {
        SCOPED_TRACE(testing::Message()
                     << "letter " << c.letter << ", took " << c.outcome.took.count() << " ms");
        ++counts[c.letter];
        EXPECT_FALSE(c.outcome.hung);
        if (c.killed_on_purpose) {
          ++killed;
          // Unless it ended just before the signal came.
          EXPECT_TRUE(c.outcome.exit_code == 128 + SIGKILL || c.outcome.exit_code == 0)
              << c.outcome.exit_code;
          continue;
        }
        EXPECT_EQ(c.outcome.exit_code, 0);
        EXPECT_EQ(c.outcome.err, "");
        if (IsStatusLetter(c.letter)) {
          const std::string& out = c.outcome.out;
          std::string letters;
          for (const char* group :
               {"statusLinks='", "statusRechts='", "statusInfComm='", "statusInfProc='"}) {
            const auto at = out.find(group);
            if (at != std::string::npos) letters += out.substr(at + std::strlen(group), 1);
          }
          EXPECT_TRUE(ValidStatusLetters(letters)) << out;
          EXPECT_EQ(out, StatusLine(letters));
        } else {
          EXPECT_EQ(c.outcome.out, "");
        }
      }
    }
    int total = 0;
    testing::Message summary;
    for (const auto& [letter, n] : counts) {
      summary << letter << ':' << n << ' ';
      total += n;
    }
    summary << "killed:" << killed;
    RecordProperty("commands", summary.GetString());
    std::cout << "storm: " << total << " commands, " << summary << '\n';
    // Beyond each worker's opening status command.
    EXPECT_GT(total, kWorkers) << "no start or stop ran";

    for (const fs::path& dir : {install_, comm}) {
      SCOPED_TRACE(dir.string());
      EXPECT_TRUE(ValidStatusLetters(ReadFile(dir / "MOXCTRL.DAT")));
    }

    // Peers launched by commands that did not wait for them may still be
    // starting, and stopped peers still ending: take the status between two
    // equal readings of /proc.
    std::string status;
    std::string expected;
    WaitUntil(
        [&] {
          const std::vector<Process> before = AllPeers();
          status = Status();
          const std::vector<Process> after = AllPeers();
          expected = LettersOfTheRunningPeers(after);
          return Pids(before) == Pids(after) && status == expected;
        },
        kPrompt);
    EXPECT_EQ(status, expected);
    std::cout << "storm: final status " << status << ", " << AllPeers().size()
              << " peer processes\n";

    // Nothing left behind stands in the way of a full cycle.
    for (const Process& p : Processes()) ::kill(p.pid, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return Processes().empty(); }, kPrompt));
    EXPECT_EQ(Status(), "EFFE");
    for (const char* letter : {"S", "N", "A", "B", "E", "F", "D", "X"}) {
      SCOPED_TRACE(letter);
      const Outcome o = Ctl(letter);
      EXPECT_EQ(o.exit_code, 0);
      EXPECT_EQ(o.out + o.err, "");
      EXPECT_LT(o.took, kPrompt);
      if (std::string(letter) == "B") {
        EXPECT_EQ(Status(), "SNNS");
      }
    }
    EXPECT_EQ(Status(), "EFFE");
  }
};

TEST_F(Storm, EightControllersAtOnce) {
  RunStorm(false);
}

TEST_F(Storm, EightControllersAtOnceSomeKilledMidway) {
  RunStorm(true);
}

}  // namespace
}  // namespace mox::fault
