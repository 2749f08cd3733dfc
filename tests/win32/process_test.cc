// The reference peer's Windows side: its own name and the program it may run
// as its work. The executable doubles as that program:
//   --child-exit      ends at once
//   --child-sleep     sleeps until it is terminated
//   --child-spawn     starts "--child-sleep" as a helper, then sleeps
//   --child-window    runs a window and ends when the window is asked to close
#include "platform/windows_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "moxpeer/process.h"
#include "win32_test_util.h"

namespace mox::moxpeer {
namespace {

using win32test::NowMs;
using win32test::SelfPath;
using win32test::WaitUntil;

// Other copies of this executable that still run: the programs under test.
std::size_t ChildrenRunning() {
  return win32test::ProcessesOf(SelfPath()).size();
}

// A ChildProcess running this executable in `mode`, with an event set by
// its on_exit.
class Child {
 public:
  explicit Child(const char* mode) : ended_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    const std::string command = "\"" + SelfPath() + "\" " + mode;
    process_ = ChildProcess::Start(
        command, [this] { ::SetEvent(ended_); }, error_);
  }
  ~Child() {
    process_.reset();
    ::CloseHandle(ended_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  ChildProcess* get() const { return process_.get(); }
  const std::string& error() const { return error_; }
  bool Ended(DWORD timeout_ms) const {
    return ::WaitForSingleObject(ended_, timeout_ms) == WAIT_OBJECT_0;
  }

 private:
  HANDLE ended_;
  std::string error_;
  std::unique_ptr<ChildProcess> process_;
};

// Each test starts with no program of its own left from an earlier one.
class ChildProcessWin32 : public ::testing::Test {
 protected:
  void TearDown() override { win32test::TerminateProcessesOf(SelfPath()); }
};

TEST(OwnBaseName, IsTheModulesFileNameNotWhatTheLauncherWrote) {
  const std::string self = SelfPath();
  EXPECT_EQ(OwnBaseName("C:\\ELSEWHERE\\KARN.EXE"), self.substr(self.find_last_of('\\') + 1));
}

TEST_F(ChildProcessWin32, ReportsTheEndOfAProgramThatEndsByItself) {
  Child child("--child-exit");
  ASSERT_NE(child.get(), nullptr) << child.error();
  EXPECT_TRUE(child.Ended(10000));
}

TEST_F(ChildProcessWin32, StopEndsAWindowlessProgramWithoutWaitingOutTheGrace) {
  Child child("--child-sleep");
  ASSERT_NE(child.get(), nullptr) << child.error();
  ASSERT_TRUE(WaitUntil([] { return ChildrenRunning() == 1; }, 10000));

  const std::uint64_t start = NowMs();
  child.get()->Stop(std::chrono::milliseconds(30000));
  EXPECT_LT(NowMs() - start, 5000u);
  EXPECT_TRUE(child.Ended(5000));
  EXPECT_EQ(ChildrenRunning(), 0u);
}

bool CanMakeWindows() {
  const HWND window = ::CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr,
                                      ::GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr) return false;
  ::DestroyWindow(window);
  return true;
}

TEST_F(ChildProcessWin32, StopAsksAProgramWithAWindowToClose) {
  if (!CanMakeWindows()) GTEST_SKIP() << "no windows here (Wine without a display)";
  char temp[MAX_PATH];
  ::GetTempPathA(sizeof temp, temp);
  const std::string marker =
      std::string(temp) + "mox-closed-" + std::to_string(::GetCurrentProcessId());
  ::DeleteFileA(marker.c_str());
  ::SetEnvironmentVariableA("MOX_CHILD_MARKER", marker.c_str());
  Child child("--child-window");
  ::SetEnvironmentVariableA("MOX_CHILD_MARKER", nullptr);
  ASSERT_NE(child.get(), nullptr) << child.error();
  ASSERT_TRUE(WaitUntil([] { return ChildrenRunning() == 1; }, 10000));
  ::Sleep(500);  // time to make its window
  ASSERT_FALSE(child.Ended(0)) << "the program ended before it was asked to";

  child.get()->Stop(std::chrono::milliseconds(30000));
  EXPECT_TRUE(child.Ended(0));
  // Written only by the window's WM_CLOSE: it was asked, not terminated.
  EXPECT_NE(::GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileA(marker.c_str());
}

TEST_F(ChildProcessWin32, ForcedStopTakesTheProgramsHelpersToo) {
  Child child("--child-spawn");
  ASSERT_NE(child.get(), nullptr) << child.error();
  ASSERT_TRUE(WaitUntil([] { return ChildrenRunning() == 2; }, 10000));
  child.get()->Stop(std::chrono::milliseconds(0));
  EXPECT_TRUE(WaitUntil([] { return ChildrenRunning() == 0; }, 5000))
      << ChildrenRunning() << " still run";
}

TEST_F(ChildProcessWin32, DestructionStopsTheProgram) {
  {
    Child child("--child-sleep");
    ASSERT_NE(child.get(), nullptr) << child.error();
    ASSERT_TRUE(WaitUntil([] { return ChildrenRunning() == 1; }, 10000));
  }
  EXPECT_EQ(ChildrenRunning(), 0u);
}

TEST_F(ChildProcessWin32, StartFailsForAMissingProgram) {
  std::string error;
  const auto process = ChildProcess::Start(
      "C:\\NO\\SUCH\\PROGRAM.EXE", [] {}, error);
  EXPECT_EQ(process, nullptr);
  EXPECT_NE(error.find("PROGRAM.EXE"), std::string::npos) << error;
}

LRESULT CALLBACK CloseQuits(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE) {
    char marker[MAX_PATH];
    if (::GetEnvironmentVariableA("MOX_CHILD_MARKER", marker, sizeof marker) > 0) {
      ::CloseHandle(::CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcA(window, message, w, l);
}

int RunChild(std::string_view mode) {
  if (mode == "--child-exit") return 0;
  if (mode == "--child-spawn") {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + SelfPath() + "\" --child-sleep";
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
      return 3;
    }
  }
  if (mode == "--child-window") {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &CloseQuits;
    window_class.hInstance = ::GetModuleHandleA(nullptr);
    window_class.lpszClassName = "MoxTestChild";
    ::RegisterClassA(&window_class);
    if (::CreateWindowA("MoxTestChild", "", 0, 0, 0, 1, 1, nullptr, nullptr, window_class.hInstance,
                        nullptr) == nullptr) {
      return 4;
    }
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
    return 0;
  }
  ::Sleep(INFINITE);
  return 0;
}

}  // namespace
}  // namespace mox::moxpeer

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]).rfind("--child-", 0) == 0) {
    return mox::moxpeer::RunChild(argv[1]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
