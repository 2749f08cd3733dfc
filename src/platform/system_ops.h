// The single door from the control logic to the operating system.
//
// The controller and its peers share nothing but named kernel objects: a
// named mutex that a running peer holds, and named manual-reset events that
// carry the start and stop handshakes. Windows provides those objects itself;
// on Linux the platform layer provides them with the same lifetimes (an
// object lives while some process holds a handle to it).
//
// Each backend lives in its own file, chosen by the build:
//   system_ops_linux.cc   named objects in a private directory, posix_spawn
//   system_ops_win32.cc   the Win32 kernel and shell calls
#pragma once

#include <cstdint>
#include <span>

namespace mox {

/// An opaque handle to a named event. The default value is the null handle,
/// which every operation rejects at once.
struct EventHandle {
  std::uintptr_t value = 0;

  constexpr explicit operator bool() const { return value != 0; }
  friend constexpr bool operator==(EventHandle, EventHandle) = default;
};

enum class WaitResult {
  all_signalled,
  timed_out,
  failed,  // a null, unknown or repeated handle, or a count out of range
};

/// How the launched program's window is shown. The controller only ever
/// launches hidden; the value is kept so a recording can show it.
enum class ShowCommand { hide };

/// One launch through the shell, described as data. `parameters` and
/// `directory` are null when there is none: an absent parameter string is
/// not the same as an empty one. Paths use the backslash and are relative to
/// the current directory.
struct LaunchRequest {
  const char* verb = "open";
  const char* file = nullptr;
  const char* parameters = nullptr;
  const char* directory = nullptr;
  ShowCommand show = ShowCommand::hide;
};

/// Largest number of events one wait accepts.
inline constexpr std::size_t kMaxWaitEvents = 64;

/// Time-out value that never expires.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

/// The operations the controller needs. Every handle obtained stays valid
/// until the process ends; the controller never closes one.
class SystemOps {
 public:
  virtual ~SystemOps() = default;

  /// True when a mutex of this name exists, that is when its peer runs.
  /// The mutex is never acquired or waited on. Any failure reads as absent.
  [[nodiscard]] virtual bool IsPeerRunning(const char* mutex_name) = 0;

  /// Opens the named event, or creates it when no process holds it. An
  /// existing event keeps its state; `initially_signalled` applies only to a
  /// new one. Returns the null handle on failure.
  [[nodiscard]] virtual EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                                      bool initially_signalled) = 0;

  /// Makes the event non-signalled. False on a null or unknown handle.
  [[nodiscard]] virtual bool ResetEvent(EventHandle event) = 0;

  /// Waits until the events are signalled (all of them at one instant when
  /// `wait_all`, else any), or until `timeout_ms` has passed. Fails at once
  /// on a null handle or an empty or oversized list.
  [[nodiscard]] virtual WaitResult WaitForEvents(std::span<const EventHandle> events, bool wait_all,
                                                 std::uint32_t timeout_ms) = 0;

  /// Starts a program detached with the given verb, file, parameters and
  /// directory. The caller keeps nothing of the new process. False when the
  /// launch could not even be attempted or was refused at once.
  [[nodiscard]] virtual bool Launch(const LaunchRequest& request) = 0;
};

/// This platform's operations. The object lives until the process ends.
SystemOps& PlatformSystemOps();

}  // namespace mox
