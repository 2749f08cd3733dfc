// The Win32 backend of SystemOps and PeerObjects, against the real kernel
// and shell. Object names carry this process's id, so runs never share
// objects with each other or with an installation.
//
// The executable doubles as the program that Launch starts: with
// MOX_LAUNCH_RECORD set it writes what it was started with to that file and
// ends.
#include "platform/windows_api.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/peer_objects.h"
#include "platform/system_ops.h"
#include "win32_test_util.h"

namespace mox {
namespace {

using win32test::Folded;
using win32test::NowMs;

constexpr const char* kRecordVariable = "MOX_LAUNCH_RECORD";

// Child side: current directory, command line and show command, one a line.
int RecordLaunch(const char* record_path) {
  char directory[MAX_PATH * 2];
  ::GetCurrentDirectoryA(sizeof directory, directory);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  ::GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

  // Written aside and renamed, so the test never reads half a record.
  const std::string partial = std::string(record_path) + ".part";
  {
    std::ofstream out(partial, std::ios::binary);
    out << directory << '\n' << ::GetCommandLineA() << '\n' << show << '\n';
  }
  return ::MoveFileExA(partial.c_str(), record_path, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

HANDLE Raw(EventHandle event) {
  return reinterpret_cast<HANDLE>(event.value);
}

bool IsSignalled(EventHandle event) {
  return ::WaitForSingleObject(Raw(event), 0) == WAIT_OBJECT_0;
}

class Win32Platform : public ::testing::Test {
 protected:
  // A name no other process uses.
  static std::string Name(const std::string& what) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "MoxPlatformTest." + std::to_string(::GetCurrentProcessId()) + "." + info->name() + "." +
           what;
  }

  SystemOps& ops_ = PlatformSystemOps();
  PeerObjects& peer_ = PlatformPeerObjects();
};

TEST_F(Win32Platform, ProbeSeesAMutexWhileAPeerHoldsIt) {
  const std::string name = Name("running");
  EXPECT_FALSE(ops_.IsPeerRunning(name.c_str()));

  const MutexHandle held = peer_.HoldMutex(name.c_str());
  ASSERT_TRUE(held);
  EXPECT_TRUE(ops_.IsPeerRunning(name.c_str()));
  peer_.ReleaseMutex(held);
}

TEST_F(Win32Platform, ReleasedMutexIsGone) {
  // Probed only after the release: a probe keeps its handle, and with it the
  // mutex, until the process ends.
  const std::string name = Name("released");
  const MutexHandle held = peer_.HoldMutex(name.c_str());
  ASSERT_TRUE(held);
  peer_.ReleaseMutex(held);
  EXPECT_FALSE(ops_.IsPeerRunning(name.c_str()));
}

TEST_F(Win32Platform, CreateOrOpenEventAppliesTheInitialStateOnlyToANewEvent) {
  struct Case {
    const char* name;
    bool first_initial;
    bool second_initial;
  };
  const std::array<Case, 4> cases{
      {
       {"new signalled", true, true},
       {"new non-signalled", false, false},
       {"existing signalled stays signalled", true, false},
       {"existing non-signalled stays non-signalled", false, true},
       }
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = Name(std::to_string(++n));
    const EventHandle first = ops_.CreateOrOpenEvent(name.c_str(), true, c.first_initial);
    ASSERT_TRUE(first);
    EXPECT_EQ(IsSignalled(first), c.first_initial);
    const EventHandle second = ops_.CreateOrOpenEvent(name.c_str(), true, c.second_initial);
    ASSERT_TRUE(second);
    EXPECT_EQ(IsSignalled(second), c.first_initial);

    // One object behind both handles.
    ASSERT_TRUE(::SetEvent(Raw(first)));
    EXPECT_TRUE(IsSignalled(second));
    EXPECT_TRUE(ops_.ResetEvent(second));
    EXPECT_FALSE(IsSignalled(first));
  }
}

TEST_F(Win32Platform, ManualResetEventStaysSignalledAfterAWait) {
  const EventHandle event = ops_.CreateOrOpenEvent(Name("manual").c_str(), true, true);
  ASSERT_TRUE(event);
  EXPECT_TRUE(IsSignalled(event));
  EXPECT_TRUE(IsSignalled(event));
}

TEST_F(Win32Platform, ResetEventFailsOnTheNullHandle) {
  EXPECT_FALSE(ops_.ResetEvent(EventHandle{}));
}

TEST_F(Win32Platform, WaitForEventsReportsHowItEnded) {
  const EventHandle on1 = ops_.CreateOrOpenEvent(Name("on1").c_str(), true, true);
  const EventHandle on2 = ops_.CreateOrOpenEvent(Name("on2").c_str(), true, true);
  const EventHandle off = ops_.CreateOrOpenEvent(Name("off").c_str(), true, false);
  ASSERT_TRUE(on1 && on2 && off);

  struct Case {
    const char* name;
    std::vector<EventHandle> events;
    bool wait_all;
    std::uint32_t timeout_ms;
    WaitResult expected;
  };
  // A null slot is an event that could not be made: the wait fails at once.
  const std::vector<Case> cases{
      {"all signalled",         {on1, on2},                true,  30000, WaitResult::all_signalled},
      {"one not signalled",     {on1, off},                true,  50,    WaitResult::timed_out    },
      {"any of them signalled", {off, on2},                false, 30000, WaitResult::all_signalled},
      {"null handle",           {on1, EventHandle{}, on2}, true,  30000, WaitResult::failed       },
      {"no handles",            {},                        true,  30000, WaitResult::failed       },
      {"the same handle twice", {on1, on1},                true,  30000, WaitResult::failed       },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t start = NowMs();
    EXPECT_EQ(ops_.WaitForEvents(c.events, c.wait_all, c.timeout_ms), c.expected);
    EXPECT_LT(NowMs() - start, 5000u);
  }
}

TEST_F(Win32Platform, WaitForEventsWakesWhenTheLastEventIsSet) {
  const EventHandle a = ops_.CreateOrOpenEvent(Name("a").c_str(), true, false);
  const EventHandle b = ops_.CreateOrOpenEvent(Name("b").c_str(), true, false);
  ASSERT_TRUE(a && b);
  std::thread setter([&] {
    ::SetEvent(Raw(b));
    ::Sleep(100);
    ::SetEvent(Raw(a));
  });
  const std::array<EventHandle, 2> both{a, b};
  const std::uint64_t start = NowMs();
  EXPECT_EQ(ops_.WaitForEvents(both, true, 30000), WaitResult::all_signalled);
  EXPECT_LT(NowMs() - start, 5000u);
  setter.join();
}

// Launches this executable in record mode and returns its record.
class Win32Launch : public Win32Platform {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ =
        std::filesystem::temp_directory_path() /
        ("mox-launch-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(dir_ / "work");
    self_ = win32test::SelfPath();
  }
  void TearDown() override {
    // A launched program may still be ending, with its current directory
    // in here; Windows removes no directory that is some process's current.
    std::error_code error;
    for (int tries = 0; tries < 50; ++tries) {
      std::filesystem::remove_all(dir_, error);
      if (!error) break;
      ::Sleep(20);
    }
  }

  // Empty when the launched program wrote nothing within 30 s.
  std::array<std::string, 3> LaunchAndRead(const LaunchRequest& request, bool& launched) {
    const std::string record = (dir_ / "record.txt").string();
    ::SetEnvironmentVariableA(kRecordVariable, record.c_str());
    launched = ops_.Launch(request);
    ::SetEnvironmentVariableA(kRecordVariable, nullptr);

    std::array<std::string, 3> lines;
    win32test::WaitUntil([&] { return std::filesystem::exists(record); }, 30000);
    std::ifstream in(record, std::ios::binary);
    for (std::string& line : lines) std::getline(in, line);
    in.close();
    std::filesystem::remove(record);
    return lines;
  }

  std::filesystem::path dir_;
  std::string self_;
};

TEST_F(Win32Launch, StartsTheProgramHiddenWithItsParametersAndDirectory) {
  const std::string work = (dir_ / "work").string();
  struct Case {
    const char* name;
    const char* parameters;
    const char* directory;
    std::string expected_directory;
    std::string expected_parameters;
  };
  char here[MAX_PATH * 2];
  ::GetCurrentDirectoryA(sizeof here, here);
  const std::vector<Case> cases{
      {"parameters and directory",   "PORVIN.INI", work.c_str(), work, "PORVIN.INI"},
      {"no parameters",              nullptr,      work.c_str(), work, ""          },
      {"no directory: the caller's", "KARN.INI",   nullptr,      here, "KARN.INI"  },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LaunchRequest request;
    request.file = self_.c_str();
    request.parameters = c.parameters;
    request.directory = c.directory;
    bool launched = false;
    const auto [directory, command_line, show] = LaunchAndRead(request, launched);
    EXPECT_TRUE(launched);
    ASSERT_FALSE(command_line.empty()) << "the launched program wrote no record";
    std::string expected_dir = c.expected_directory;
    if (directory.size() == expected_dir.size() + 1) expected_dir += '\\';
    EXPECT_EQ(Folded(directory), Folded(expected_dir));
    EXPECT_EQ(win32test::ParametersOf(command_line), c.expected_parameters);
    EXPECT_EQ(show, std::to_string(SW_HIDE));
  }
}

TEST_F(Win32Launch, ReportsAProgramThatIsNotThere) {
  LaunchRequest request;
  const std::string directory = dir_.string();
  request.file = "NO-SUCH-PEER.EXE";
  request.directory = directory.c_str();
  EXPECT_FALSE(ops_.Launch(request));
}

TEST_F(Win32Platform, OpenEventFindsOnlyAnExistingEvent) {
  const std::string name = Name("start");
  EXPECT_FALSE(peer_.OpenEvent(name.c_str()));

  const EventHandle made = ops_.CreateOrOpenEvent(name.c_str(), true, false);
  ASSERT_TRUE(made);
  const EventHandle opened = peer_.OpenEvent(name.c_str());
  ASSERT_TRUE(opened);
  EXPECT_TRUE(peer_.SetEvent(opened));
  EXPECT_TRUE(IsSignalled(made));
  peer_.CloseEvent(opened);
}

TEST_F(Win32Platform, EventVanishesWithItsLastHandle) {
  const std::string name = Name("stop");
  const EventHandle event = peer_.CreateOrOpenEvent(name.c_str(), true, true);
  ASSERT_TRUE(event);
  peer_.CloseEvent(event);
  EXPECT_FALSE(peer_.OpenEvent(name.c_str()));
}

TEST_F(Win32Platform, SetEventFailsOnTheNullHandle) {
  EXPECT_FALSE(peer_.SetEvent(EventHandle{}));
}

TEST_F(Win32Platform, WaitUntilResetReturnsAtOnceOnAResetEvent) {
  const EventHandle event = peer_.CreateOrOpenEvent(Name("stop").c_str(), true, false);
  ASSERT_TRUE(event);
  const std::uint64_t start = NowMs();
  EXPECT_EQ(peer_.WaitUntilReset(event, kInfinite), ResetWait::reset);
  EXPECT_LT(NowMs() - start, 5000u);
}

TEST_F(Win32Platform, WaitUntilResetTimesOutWhileSignalled) {
  const EventHandle event = peer_.CreateOrOpenEvent(Name("stop").c_str(), true, true);
  ASSERT_TRUE(event);
  const std::uint64_t start = NowMs();
  EXPECT_EQ(peer_.WaitUntilReset(event, 120), ResetWait::timed_out);
  // Ticks are coarse; a wait that returned early would be far below this.
  EXPECT_GE(NowMs() - start, 90u);
  EXPECT_TRUE(IsSignalled(event));
}

TEST_F(Win32Platform, WaitUntilResetWakesOnTheControllersReset) {
  const std::string name = Name("stop");
  const EventHandle peer_side = peer_.CreateOrOpenEvent(name.c_str(), true, true);
  ASSERT_TRUE(peer_side);
  const EventHandle controller_side = ops_.CreateOrOpenEvent(name.c_str(), true, true);
  ASSERT_TRUE(controller_side);
  std::thread controller([&] {
    ::Sleep(100);
    EXPECT_TRUE(ops_.ResetEvent(controller_side));
  });
  const std::uint64_t start = NowMs();
  EXPECT_EQ(peer_.WaitUntilReset(peer_side, kInfinite), ResetWait::reset);
  EXPECT_LT(NowMs() - start, 5000u);
  controller.join();
}

TEST_F(Win32Platform, WaitUntilResetFailsOnTheNullHandle) {
  EXPECT_EQ(peer_.WaitUntilReset(EventHandle{}, kInfinite), ResetWait::failed);
}

}  // namespace
}  // namespace mox

int main(int argc, char** argv) {
  if (const char* record = std::getenv(mox::kRecordVariable)) return mox::RecordLaunch(record);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
