// What a peer program needs from the platform to honour the controller's
// contract: hold its running marker (a named mutex), set its start event,
// keep its stop event signalled while it runs and notice when the controller
// resets it.
//
// Implemented by the same backend files as SystemOps, over the same named
// objects, so a peer and the controller always agree on them.
#pragma once

#include <cstdint>

#include "platform/system_ops.h"

namespace mox {

/// An opaque handle to a held named mutex. The default value is null.
struct MutexHandle {
  std::uintptr_t value = 0;

  constexpr explicit operator bool() const { return value != 0; }
  friend constexpr bool operator==(MutexHandle, MutexHandle) = default;
};

enum class ResetWait { reset, timed_out, failed };

class PeerObjects {
 public:
  virtual ~PeerObjects() = default;

  /// Creates or opens the named mutex and holds it until ReleaseMutex or
  /// the end of the process, whichever comes first; a crash releases it too.
  /// Null on failure.
  [[nodiscard]] virtual MutexHandle HoldMutex(const char* name) = 0;

  /// Lets go of the mutex. Once this returns, a probe from any process no
  /// longer sees it (unless another process holds it too).
  virtual void ReleaseMutex(MutexHandle mutex) = 0;

  /// Same semantics as SystemOps::CreateOrOpenEvent.
  [[nodiscard]] virtual EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                                      bool initially_signalled) = 0;

  /// Opens the named event only if some process holds it; null otherwise.
  [[nodiscard]] virtual EventHandle OpenEvent(const char* name) = 0;

  /// Makes the event signalled and wakes its waiters. False on a bad handle.
  [[nodiscard]] virtual bool SetEvent(EventHandle event) = 0;

  /// Closes the handle. The event vanishes when its last handle closes.
  virtual void CloseEvent(EventHandle event) = 0;

  /// Blocks until the event is non-signalled, or until `timeout_ms` has
  /// passed (kInfinite: never). Returns at once when it already is.
  [[nodiscard]] virtual ResetWait WaitUntilReset(EventHandle event, std::uint32_t timeout_ms) = 0;
};

/// This platform's peer-side operations. The object lives until the process
/// ends.
PeerObjects& PlatformPeerObjects();

}  // namespace mox
