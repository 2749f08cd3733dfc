// SystemOps and PeerObjects over the Win32 kernel and shell.
//
// Handles are passed through unchanged: an EventHandle holds the HANDLE value
// itself, so the null EventHandle is the null HANDLE, and every call that
// gets one fails at once inside Win32 exactly as it would for any bad handle.
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

#include "platform/windows_api.h"

#include <shellapi.h>  // needs <windows.h> first

#include <algorithm>
#include <array>

namespace mox {
namespace {

HANDLE ToHandle(EventHandle event) {
  return reinterpret_cast<HANDLE>(event.value);
}
HANDLE ToHandle(MutexHandle mutex) {
  return reinterpret_cast<HANDLE>(mutex.value);
}
EventHandle ToEvent(HANDLE handle) {
  return EventHandle{reinterpret_cast<std::uintptr_t>(handle)};
}

static_assert(kInfinite == INFINITE);
static_assert(kMaxWaitEvents == MAXIMUM_WAIT_OBJECTS);

// The one call behind both sides' CreateOrOpenEvent: no security attributes,
// so the handle is not inherited by the programs a peer starts.
EventHandle CreateEventFor(const char* name, bool manual_reset, bool initially_signalled) {
  return ToEvent(::CreateEventA(nullptr, manual_reset ? TRUE : FALSE,
                                initially_signalled ? TRUE : FALSE, name));
}

class Win32SystemOps final : public SystemOps {
 public:
  bool IsPeerRunning(const char* mutex_name) override {
    // The handle is deliberately kept: it is released when the process ends.
    return ::OpenMutexA(SYNCHRONIZE, FALSE, mutex_name) != nullptr;
  }

  EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                bool initially_signalled) override {
    return CreateEventFor(name, manual_reset, initially_signalled);
  }

  bool ResetEvent(EventHandle event) override { return ::ResetEvent(ToHandle(event)) != FALSE; }

  WaitResult WaitForEvents(std::span<const EventHandle> events, bool wait_all,
                           std::uint32_t timeout_ms) override {
    // Win32 refuses these counts itself; they cannot be copied below.
    if (events.empty() || events.size() > kMaxWaitEvents) return WaitResult::failed;
    std::array<HANDLE, kMaxWaitEvents> handles{};
    for (std::size_t i = 0; i < events.size(); ++i) {
      handles[i] = ToHandle(events[i]);
      // Windows refuses a wait for all with a handle given twice; Wine
      // would wait. Refused here too, so both behave alike.
      if (wait_all && handles[i] != nullptr &&
          std::find(handles.begin(), handles.begin() + i, handles[i]) != handles.begin() + i) {
        return WaitResult::failed;
      }
    }

    const DWORD count = static_cast<DWORD>(events.size());
    const DWORD rc =
        ::WaitForMultipleObjects(count, handles.data(), wait_all ? TRUE : FALSE, timeout_ms);
    if (rc < WAIT_OBJECT_0 + count) return WaitResult::all_signalled;
    if (rc == WAIT_TIMEOUT) return WaitResult::timed_out;
    // WAIT_FAILED, or WAIT_ABANDONED_0 + i, which only a mutex can give.
    return WaitResult::failed;
  }

  bool Launch(const LaunchRequest& request) override {
    // ShellExecuteA reports success as a value above 32.
    const HINSTANCE rc = ::ShellExecuteA(nullptr, request.verb, request.file, request.parameters,
                                         request.directory, SW_HIDE);
    return reinterpret_cast<INT_PTR>(rc) > 32;
  }
};

// Win32 has no wait for an object to become non-signalled: waits complete
// only on the signalled state, and nothing notifies a reset (neither the
// kernel event nor any other object the controller's ResetEvent touches).
// The controller's stop request is nothing but that reset, so a peer has to
// look at the event's state. It does so cheaply: a zero time-out wait, then
// a sleep of kResetPollMs, so a stop is noticed within that time and an idle
// peer costs a few dozen wake-ups per second.
constexpr DWORD kResetPollMs = 25;

class Win32PeerObjects final : public PeerObjects {
 public:
  MutexHandle HoldMutex(const char* name) override {
    // Owning the mutex is not needed: its existence is the running marker,
    // and it exists while a handle to it is open. Not owning it also means a
    // probe that acquired it could not make it abandoned.
    return MutexHandle{reinterpret_cast<std::uintptr_t>(::CreateMutexA(nullptr, FALSE, name))};
  }

  void ReleaseMutex(MutexHandle mutex) override {
    if (mutex) ::CloseHandle(ToHandle(mutex));
  }

  EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                bool initially_signalled) override {
    return CreateEventFor(name, manual_reset, initially_signalled);
  }

  EventHandle OpenEvent(const char* name) override {
    return ToEvent(::OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name));
  }

  bool SetEvent(EventHandle event) override { return ::SetEvent(ToHandle(event)) != FALSE; }

  void CloseEvent(EventHandle event) override {
    if (event) ::CloseHandle(ToHandle(event));
  }

  ResetWait WaitUntilReset(EventHandle event, std::uint32_t timeout_ms) override {
    const HANDLE handle = ToHandle(event);
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
      const DWORD rc = ::WaitForSingleObject(handle, 0);
      if (rc == WAIT_TIMEOUT) return ResetWait::reset;
      if (rc != WAIT_OBJECT_0) return ResetWait::failed;

      DWORD nap = kResetPollMs;
      if (timeout_ms != kInfinite) {
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed >= timeout_ms) return ResetWait::timed_out;
        if (timeout_ms - elapsed < nap) nap = static_cast<DWORD>(timeout_ms - elapsed);
      }
      ::Sleep(nap);
    }
  }
};

}  // namespace

SystemOps& PlatformSystemOps() {
  static Win32SystemOps ops;
  return ops;
}

PeerObjects& PlatformPeerObjects() {
  static Win32PeerObjects objects;
  return objects;
}

}  // namespace mox
