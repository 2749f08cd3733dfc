#include "platform/windows_api.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "moxpeer/process.h"

namespace mox::moxpeer {
namespace {

struct Search {
  DWORD id;
  bool asked;
};

BOOL CALLBACK AskWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == search->id && ::PostMessageA(window, WM_CLOSE, 0, 0)) search->asked = true;
  return TRUE;
}

}  // namespace

std::string OwnBaseName(const char* /*argv0*/) {
  // The module's own file name: argv[0] is only what the launcher chose to
  // write in front of the parameters.
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      const std::string_view full(path.data(), n);
      const auto slash = full.find_last_of("\\/");
      return std::string(slash == std::string_view::npos ? full : full.substr(slash + 1));
    }
    path.resize(path.size() * 2);  // truncated
  }
}

void IgnoreTerminalHangup() {
  // Nothing to do: the peer is a windows-subsystem program with no console,
  // so no terminal can go away under it.
}

// The process handle keeps the process object, so waits and termination can
// never hit a different program that reused the id. The job, when the
// system grants one, holds the program and everything it starts, so a forced
// stop takes its helpers too.
struct ChildProcess::State {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  DWORD id = 0;
  std::function<void()> on_exit;
  std::thread watcher;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (job != nullptr) ::CloseHandle(job);
    if (process != nullptr) ::CloseHandle(process);
  }

  void Watch() {
    ::WaitForSingleObject(process, INFINITE);
    on_exit();
  }

  bool Ended(DWORD timeout_ms) const {
    return ::WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
  }

  // Windows has no signal to ask a program to end; the polite request is
  // WM_CLOSE to its top-level windows. False when it has none to ask.
  bool AskToClose() const {
    Search search{id, false};
    ::EnumWindows(&AskWindow, reinterpret_cast<LPARAM>(&search));
    return search.asked;
  }

  void Force() const {
    if (job != nullptr) {
      ::TerminateJobObject(job, 1);
    } else {
      ::TerminateProcess(process, 1);
    }
  }
};

namespace {

bool IsRealHandle(HANDLE h) {
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(std::string_view command,
                                                  std::function<void()> on_exit,
                                                  std::string& error) {
  if (command.find_first_not_of(" \t") == std::string_view::npos) {
    error = "empty command";
    return nullptr;
  }
  // CreateProcessA may write into the command line.
  std::string line(command);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  BOOL inherit = FALSE;
  const std::array<HANDLE, 3> streams{::GetStdHandle(STD_INPUT_HANDLE),
                                      ::GetStdHandle(STD_OUTPUT_HANDLE),
                                      ::GetStdHandle(STD_ERROR_HANDLE)};
  if (IsRealHandle(streams[0]) || IsRealHandle(streams[1]) || IsRealHandle(streams[2])) {
    for (HANDLE h : streams) {
      if (IsRealHandle(h)) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams[0];
    startup.hStdOutput = streams[1];
    startup.hStdError = streams[2];
    inherit = TRUE;  // only these are inheritable; the peer's objects are not
  }
  // Suspended until it is in the job, so nothing it starts escapes the job.
  DWORD flags = CREATE_SUSPENDED;
  // A console program started from a peer without a console would get a
  // window of its own.
  if (::GetConsoleWindow() == nullptr) flags |= CREATE_NO_WINDOW;

  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr,
                        &startup, &info)) {
    error = "cannot run '" + std::string(command) + "': error " + std::to_string(::GetLastError());
    return nullptr;
  }

  auto state = std::make_unique<State>();
  state->process = info.hProcess;
  state->id = info.dwProcessId;
  state->on_exit = std::move(on_exit);
  // Without a job (e.g. the peer itself runs in one that forbids nesting) a
  // forced stop ends the program alone.
  state->job = ::CreateJobObjectA(nullptr, nullptr);
  if (state->job != nullptr && !::AssignProcessToJobObject(state->job, info.hProcess)) {
    ::CloseHandle(state->job);
    state->job = nullptr;
  }
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);

  state->watcher = std::thread(&State::Watch, state.get());
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(state)));
}

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

ChildProcess::~ChildProcess() {
  Stop(kChildStopGrace);
  state_->watcher.join();
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (state_->Ended(0)) return;
  // A program without a window cannot be asked, so waiting out the grace
  // would only delay the stop.
  const bool asked = state_->AskToClose();
  const auto grace_ms = static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(
      grace.count() < 0 ? 0 : grace.count(), INFINITE - 1));
  if (asked && state_->Ended(grace_ms)) return;
  state_->Force();
  state_->Ended(INFINITE);
}

}  // namespace mox::moxpeer
