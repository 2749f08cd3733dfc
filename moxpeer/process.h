// The parts of a peer that differ by operating system: the name it was
// started under, staying alive when its terminal goes, and the program it
// may run as its work. One source file per system provides them
// (process_posix.cc, process_win32.cc); the peer logic has no system code.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mox::moxpeer {

/// The file name this program was started under, without its directory:
/// "KARN.EXE" when an installation placed it as ".../MOX/KARN.EXE". On POSIX
/// this is the last part of `argv0`; on Windows the module file name.
std::string OwnBaseName(const char* argv0);

/// Keeps the program running when the terminal it was started from closes.
void IgnoreTerminalHangup();

/// How long a program gets to end by itself after being asked to stop
/// before it is forced to.
inline constexpr std::chrono::milliseconds kChildStopGrace{10000};

/// A program run as a peer's work. It is started in the peer's current
/// directory with the peer's environment and standard streams.
class ChildProcess {
 public:
  /// Starts `command`, a program and its arguments (split by the Windows
  /// rules on POSIX, as a launch splits parameters; handed over as written
  /// on Windows). `on_exit` is called
  /// once, from another thread, when the program has ended, whether by
  /// itself or through Stop. Null when it could not be started, with the
  /// reason in `error`.
  [[nodiscard]] static std::unique_ptr<ChildProcess> Start(std::string_view command,
                                                           std::function<void()> on_exit,
                                                           std::string& error);

  /// Stops the program if it still runs, then waits for its end.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Asks the program to end (on POSIX SIGTERM to its process group) and
  /// forces it (SIGKILL; on Windows, terminate) when it is still there after
  /// `grace`. Returns once it has ended; at once if it already had.
  void Stop(std::chrono::milliseconds grace);

  struct State;  // per system

 private:
  explicit ChildProcess(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace mox::moxpeer
