// moxctrl.exe and moxpeer.exe together, as Windows programs: a temporary
// installation with a copy of moxpeer.exe under each peer's name, moxctrl.exe
// run in it with an exact command line, and the peers' processes inspected
// for the file, parameters and directory they were started with.
//
//   system_test --moxctrl=PATH --moxpeer=PATH [GoogleTest options]
//
// The peers' named objects are global to the Wine prefix: nothing else may
// run peers in it meanwhile.
#include "platform/windows_api.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32_test_util.h"

namespace mox {
namespace {

namespace fs = std::filesystem;
using win32test::Folded;
using win32test::MutexExists;
using win32test::ProcessView;
using win32test::ReadWholeFile;
using win32test::RunResult;
using win32test::SelfPath;
using win32test::WaitUntil;

std::string g_moxctrl;
std::string g_moxpeer;

constexpr std::string_view kUsage = "moxctrl Param S/E/N/F/B/X/A/D\r\nBei lokalem Aufruf Param s/n";
constexpr std::string_view kNothingRuns =
    "statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';";
constexpr std::string_view kAllRun =
    "statusLinks='S';statusRechts='N';statusInfComm='N';statusInfProc='S';";

constexpr std::array<const char*, 9> kMutexes{"MOXPRG_MTX", "VESKOR_MTX", "MOXCOM_MTX",
                                              "PELKAR_MTX", "DUMERA_MTX", "TARVEX_MTX",
                                              "QUILMO_MTX", "SALVOR_MTX", "FUDLIN_MTX"};

// Where an installation keeps each peer's program.
struct Installed {
  const char* directory;
  const char* file;
};
// clang-format off
constexpr std::array<Installed, 9> kLayout{{
    {"MOX\\GENERATOR\\MOX",   "KARN.EXE"},
    {"MOX\\GENERATOR\\MOX",   "TOLV.EXE"},
    {"MOX\\GENERATOR\\COMM",  "MOXCOM.EXE"},
    {"MOX\\GENERATOR\\COMM",  "PELKAR.EXE"},
    {"MOX\\GENERATOR\\COMM",  "DUMERA.EXE"},
    {"MOX\\INFORMATOR\\COMM", "TARVEX.EXE"},
    {"MOX\\INFORMATOR\\COMM", "QUILMO.EXE"},
    {"MOX\\INFORMATOR\\MOX",  "MOXGRENOT.EXE"},
    {"MOX\\INFORMATOR\\MOX",  "MOXFUDLIN.EXE"},
}};
// clang-format on

// One peer as a start should leave it: its mutex held by a process of that
// executable, started with these parameters in this directory (both paths
// relative to the installation root).
struct ExpectedPeer {
  const char* mutex;
  const char* program;
  const char* directory;
  const char* parameters;
};

struct GroupCase {
  const char* name;
  const char* start;
  const char* stop;
  std::uint64_t start_wait_ms;
  std::vector<ExpectedPeer> members;
};

// clang-format off
const std::vector<GroupCase> kGroups{
    {"Links", "S", "E", 20000, {
        {"MOXPRG_MTX", "MOX\\GENERATOR\\MOX\\KARN.EXE",    "MOX\\GENERATOR\\MOX",  "KARN.INI"},
        {"VESKOR_MTX", "MOX\\GENERATOR\\MOX\\TOLV.EXE",    "MOX\\GENERATOR\\MOX",  "TOLV.INI"},
        {"MOXCOM_MTX", "MOX\\GENERATOR\\COMM\\MOXCOM.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"}}},
    {"Rechts", "N", "f", 15000, {
        {"PELKAR_MTX", "MOX\\GENERATOR\\COMM\\PELKAR.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"},
        {"DUMERA_MTX", "MOX\\GENERATOR\\COMM\\DUMERA.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"}}},
    {"InfComm", "a", "D", 15000, {
        {"TARVEX_MTX", "MOX\\INFORMATOR\\COMM\\TARVEX.EXE", "MOX\\INFORMATOR\\COMM", "PORVIN.INI"},
        {"QUILMO_MTX", "MOX\\INFORMATOR\\COMM\\QUILMO.EXE", "MOX\\INFORMATOR\\COMM", "PORVIN.INI"}}},
    {"InfProc", "B", "x", 15000, {
        {"SALVOR_MTX", "MOX\\INFORMATOR\\MOX\\MOXGRENOT.EXE", "MOX\\INFORMATOR\\MOX", ""},
        {"FUDLIN_MTX", "MOX\\INFORMATOR\\MOX\\MOXFUDLIN.EXE", "MOX\\INFORMATOR\\MOX", ""}}},
};
// clang-format on

std::string WithBackslash(std::string path) {
  if (path.empty() || path.back() != '\\') path += '\\';
  return path;
}

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* mutex : kMutexes) {
      ASSERT_FALSE(MutexExists(mutex))
          << mutex << " exists before the test: something else runs peers in this Wine prefix";
    }
    static int serial = 0;
    const fs::path base =
        fs::temp_directory_path() /
        ("moxwine-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial));
    fs::remove_all(base);
    fs::create_directories(base / "io");
    root_ = (base / "inst").string();
    io_ = (base / "io").string();
    base_ = base;
    for (const Installed& peer : kLayout) {
      const fs::path dir = fs::path(root_) / peer.directory;
      fs::create_directories(dir);
      fs::copy_file(g_moxpeer, dir / peer.file, fs::copy_options::overwrite_existing);
    }
  }

  void TearDown() override {
    win32test::TerminateProcessesUnder(root_);
    win32test::TerminateProcessesOf(SelfPath());  // programs run by peers
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  RunResult Moxctrl(const std::string& tail, const std::string& directory) {
    return win32test::Run(g_moxctrl, tail, directory, io_);
  }
  RunResult Moxctrl(const std::string& tail) { return Moxctrl(tail, root_); }

  std::string At(const char* relative) const { return root_ + "\\" + relative; }

  // The running process of this program, if exactly one runs.
  std::optional<ProcessView> ProcessOf(const char* program) const {
    std::optional<ProcessView> found;
    int count = 0;
    for (const ProcessView& view : win32test::ProcessesUnder(root_)) {
      if (Folded(view.image) == Folded(At(program))) {
        found = view;
        ++count;
      }
    }
    EXPECT_LE(count, 1) << program;
    return found;
  }

  void ExpectStarted(const ExpectedPeer& peer) const {
    SCOPED_TRACE(peer.program);
    EXPECT_TRUE(MutexExists(peer.mutex)) << peer.mutex;
    const std::optional<ProcessView> view = ProcessOf(peer.program);
    ASSERT_TRUE(view) << "no process runs " << peer.program;
    EXPECT_EQ(Folded(view->current_directory), Folded(WithBackslash(At(peer.directory))));
    EXPECT_EQ(win32test::ParametersOf(view->command_line), peer.parameters)
        << "command line: " << view->command_line;
  }

  // A peer acknowledges a stop after letting go of its mutex, so the mutex
  // is gone when moxctrl returns; the process may take a moment longer.
  void ExpectStopped(const ExpectedPeer& peer) const {
    SCOPED_TRACE(peer.program);
    EXPECT_FALSE(MutexExists(peer.mutex)) << peer.mutex;
    EXPECT_TRUE(WaitUntil([&] { return !ProcessOf(peer.program); }, 10000))
        << peer.program << " still runs";
  }

  void ExpectQuietSuccess(const RunResult& r) const {
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }

  std::string root_;
  std::string io_;
  fs::path base_;
};

// The command line as the C runtime of moxctrl.exe splits it, and the text
// mode of its standard output.
TEST_F(Installation, ConsoleContract) {
  // For the wildcard case: "?FILE" would match this if it were expanded.
  std::ofstream(fs::path(root_) / "CFILE").put('x');

  struct Case {
    const char* name;
    const char* tail;  // the command line after the program
    unsigned long exit_code;
    std::string_view out;
    const char* status_file;  // null: none written
  };
  const std::vector<Case> cases{
      {"no argument",                               "",        1, kUsage,       nullptr},
      {"two arguments",                             "C C",     1, kUsage,       nullptr},
      {"tab separates arguments",                   "C\tC",    1, kUsage,       nullptr},
      {"no peer runs",                              "C",       0, kNothingRuns, "EFFE" },
      {"quoted letter reads as the letter",         "\"c\"",   0, kNothingRuns, "EFFE" },
      {"quoted blank stays in one argument",        "\"C C\"", 0, kNothingRuns, "EFFE" },
      {"two double quotes are an empty argument",   "\"\"",    0, "",           nullptr},
      {"backslash before a quote makes it literal", "\\\"C",   0, "",           nullptr},
      {"no wildcard expansion",                     "?FILE",   0, "",           nullptr},
      {"letter without a command",                  "G",       0, "",           nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path status_file = fs::path(root_) / "MOXCTRL.DAT";
    fs::remove(status_file);
    const RunResult r = Moxctrl(c.tail);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    if (c.status_file != nullptr) {
      EXPECT_EQ(ReadWholeFile(status_file), c.status_file);
    } else {
      EXPECT_FALSE(fs::exists(status_file));
    }
  }
}

TEST_F(Installation, StartsAndStopsEachGroup) {
  for (const GroupCase& g : kGroups) {
    SCOPED_TRACE(std::string("start ") + g.name);
    const RunResult r = Moxctrl(g.start);
    ExpectQuietSuccess(r);
    // Ended by the peers' acknowledgements, well before the time-out.
    EXPECT_LT(r.elapsed_ms, g.start_wait_ms - 5000);
    for (const ExpectedPeer& peer : g.members) ExpectStarted(peer);
  }

  const RunResult all = Moxctrl("C");
  EXPECT_EQ(all.out, kAllRun);
  EXPECT_EQ(ReadWholeFile(fs::path(root_) / "MOXCTRL.DAT"), "SNNS");

  for (const GroupCase& g : kGroups) {
    SCOPED_TRACE(std::string("stop ") + g.name);
    const RunResult r = Moxctrl(g.stop);
    ExpectQuietSuccess(r);
    EXPECT_LT(r.elapsed_ms, 25000u);  // the stop wait is 30 s
    for (const ExpectedPeer& peer : g.members) ExpectStopped(peer);
  }

  EXPECT_EQ(Moxctrl("C").out, kNothingRuns);
  EXPECT_EQ(ReadWholeFile(fs::path(root_) / "MOXCTRL.DAT"), "EFFE");
}

// Local mode: moxctrl runs in the generator's communication directory.
TEST_F(Installation, LocalModeStartsFromTheCommunicationDirectory) {
  const std::string comm = At("MOX\\GENERATOR\\COMM");

  // The quoted s must still read as s: a local start.
  const RunResult links = Moxctrl("\"s\"", comm);
  ExpectQuietSuccess(links);
  EXPECT_LT(links.elapsed_ms, 15000u);
  ExpectStarted({"MOXPRG_MTX", "MOX\\GENERATOR\\MOX\\KARN.EXE", "MOX\\GENERATOR\\MOX", "KARN.INI"});
  ExpectStarted({"VESKOR_MTX", "MOX\\GENERATOR\\MOX\\TOLV.EXE", "MOX\\GENERATOR\\MOX", "TOLV.INI"});
  ExpectStarted(
      {"MOXCOM_MTX", "MOX\\GENERATOR\\COMM\\MOXCOM.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"});

  const RunResult rechts = Moxctrl("n", comm);
  ExpectQuietSuccess(rechts);
  EXPECT_LT(rechts.elapsed_ms, 10000u);
  ExpectStarted(
      {"PELKAR_MTX", "MOX\\GENERATOR\\COMM\\PELKAR.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"});
  ExpectStarted(
      {"DUMERA_MTX", "MOX\\GENERATOR\\COMM\\DUMERA.EXE", "MOX\\GENERATOR\\COMM", "PORVIN.INI"});

  // The status file goes to the current directory.
  EXPECT_EQ(Moxctrl("c", comm).out,
            "statusLinks='S';statusRechts='N';statusInfComm='F';statusInfProc='E';");
  EXPECT_EQ(ReadWholeFile(fs::path(comm) / "MOXCTRL.DAT"), "SNFE");
  EXPECT_FALSE(fs::exists(fs::path(root_) / "MOXCTRL.DAT"));

  ExpectQuietSuccess(Moxctrl("e", comm));
  ExpectQuietSuccess(Moxctrl("f", comm));
  for (const char* mutex : kMutexes) EXPECT_FALSE(MutexExists(mutex)) << mutex;
}

// A member found running ends the start at once. KARN, if launched, never
// acknowledges, so a start that waited would last its full 20 s.
class EarlyEnd : public Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    std::ofstream(At("MOX\\GENERATOR\\MOX\\KARN.INI")) << "[KARN]\nack_start = no\n";
  }

  // Stands in for a running peer: its mutex exists while this lives.
  struct HeldMutex {
    explicit HeldMutex(const char* name) : handle(::CreateMutexA(nullptr, FALSE, name)) {}
    ~HeldMutex() { ::CloseHandle(handle); }
    HeldMutex(const HeldMutex&) = delete;
    HeldMutex& operator=(const HeldMutex&) = delete;
    HANDLE handle;
  };
};

TEST_F(EarlyEnd, FirstMemberRunning) {
  const HeldMutex karn("MOXPRG_MTX");
  ASSERT_NE(karn.handle, nullptr);
  const RunResult r = Moxctrl("S");
  ExpectQuietSuccess(r);
  EXPECT_LT(r.elapsed_ms, 5000u);
  EXPECT_TRUE(win32test::ProcessesUnder(root_).empty()) << "a peer was launched";
}

TEST_F(EarlyEnd, LaterMemberRunning) {
  const HeldMutex tolv("VESKOR_MTX");
  ASSERT_NE(tolv.handle, nullptr);
  const RunResult r = Moxctrl("S");
  ExpectQuietSuccess(r);
  EXPECT_LT(r.elapsed_ms, 5000u);

  // KARN was launched before TOLV was probed; MOXCOM never was.
  const std::vector<ProcessView> running = win32test::ProcessesUnder(root_);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(Folded(running[0].image), Folded(At("MOX\\GENERATOR\\MOX\\KARN.EXE")));
}

// A peer with a program as its work: the program runs in the peer's
// directory, and a stop request ends it; at once, as it has no window that
// could be asked to close.
TEST_F(Installation, PeerEndsItsProgramOnAStopRequest) {
  const std::string self_path = SelfPath();
  std::ofstream(At("MOX\\GENERATOR\\COMM\\PORVIN.INI"))
      << "[PELKAR]\ncommand = \"" << self_path << "\" --child-sleep\n";

  ExpectQuietSuccess(Moxctrl("N"));
  const std::vector<ProcessView> programs = win32test::ProcessesOf(self_path);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(win32test::ParametersOf(programs[0].command_line), "--child-sleep");
  EXPECT_EQ(Folded(programs[0].current_directory),
            Folded(WithBackslash(At("MOX\\GENERATOR\\COMM"))));

  const RunResult stop = Moxctrl("F");
  ExpectQuietSuccess(stop);
  EXPECT_LT(stop.elapsed_ms, 5000u);
  EXPECT_FALSE(MutexExists("PELKAR_MTX"));
  EXPECT_TRUE(WaitUntil([&] { return win32test::ProcessesOf(self_path).empty(); }, 5000))
      << "the program still runs";
}

}  // namespace
}  // namespace mox

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--child-sleep") {
    ::Sleep(INFINITE);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg.rfind("--moxctrl=", 0) == 0) {
      mox::g_moxctrl = mox::win32test::WindowsPath(std::string(arg.substr(10)));
    } else if (arg.rfind("--moxpeer=", 0) == 0) {
      mox::g_moxpeer = mox::win32test::WindowsPath(std::string(arg.substr(10)));
    }
  }
  if (mox::g_moxctrl.empty() || mox::g_moxpeer.empty()) {
    std::fprintf(stderr, "usage: %s --moxctrl=PATH --moxpeer=PATH [GoogleTest options]\n", argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
