#include "moxpeer/peer.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "moxpeer/process.h"

namespace mox::moxpeer {
namespace {

// What can wake a peer that runs a program: a stop request, a failed wait
// for one, or the program's end.
struct Wakeups {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop_requested = false;
  bool stop_wait_failed = false;
  bool work_ended = false;

  void Raise(bool Wakeups::*flag) {
    {
      std::lock_guard lock(mutex);
      this->*flag = true;
    }
    changed.notify_all();
  }
};

enum class StartOutcome { running, stop_requested, failed };

// A peer started by hand finds no start event: nobody waits for it.
StartOutcome AcknowledgeStart(const PeerPlan& plan, PeerObjects& objects, EventHandle stop) {
  if (!plan.settings.ack_start) return StartOutcome::running;
  const EventHandle start = objects.OpenEvent(plan.self->start_event_name);
  if (!start) return StartOutcome::running;
  // The delay is a wait on the stop event, so a stop request cuts it short.
  ResetWait delay = ResetWait::timed_out;
  if (plan.settings.start_delay_ms > 0) {
    delay = objects.WaitUntilReset(stop, plan.settings.start_delay_ms);
  }
  if (delay == ResetWait::timed_out) (void)objects.SetEvent(start);
  objects.CloseEvent(start);
  if (delay == ResetWait::reset) return StartOutcome::stop_requested;
  if (delay == ResetWait::failed) return StartOutcome::failed;
  return StartOutcome::running;
}

}  // namespace

std::optional<PeerPlan> PlanPeer(std::string_view base_name, const char* parameter_file,
                                 std::ostream& errors) {
  PeerPlan plan;
  plan.self = FindPeerByExecutable(base_name);
  if (plan.self == nullptr) {
    errors << "moxpeer: '" << base_name << "' is not the name of a peer; install it as one of";
    for (const PeerEntry& p : kPeerTable) errors << ' ' << p.file_normal;
    errors << '\n';
    return std::nullopt;
  }
  if (parameter_file == nullptr || *parameter_file == '\0') return plan;

  ParsedSettings parsed = LoadPeerSettings(parameter_file, plan.self->token);
  if (parsed.error) {
    errors << base_name << ": " << parameter_file;
    if (parsed.error->line > 0) errors << ':' << parsed.error->line;
    errors << ": " << parsed.error->message << '\n';
    return std::nullopt;
  }
  plan.settings = std::move(parsed.settings);
  return plan;
}

int RunPeer(const PeerPlan& plan, PeerObjects& objects, std::ostream& errors) {
  const PeerEntry& self = *plan.self;
  const PeerSettings& settings = plan.settings;
  auto fail = [&](const std::string& what) {
    errors << self.file_normal << ": " << what << '\n';
    return kExitFailed;
  };

  // Made signalled in case a stop request from an earlier life is still
  // pending on it: this peer is running now.
  const EventHandle stop = objects.CreateOrOpenEvent(self.stop_event_name, true, true);
  if (!stop || !objects.SetEvent(stop)) {
    return fail(std::string("cannot hold event ") + self.stop_event_name);
  }
  const MutexHandle mutex = objects.HoldMutex(self.mutex_name);
  if (!mutex) return fail(std::string("cannot hold mutex ") + self.mutex_name);

  auto wakeups = std::make_shared<Wakeups>();
  std::unique_ptr<ChildProcess> work;
  if (!settings.command.empty()) {
    std::string why;
    work = ChildProcess::Start(
        settings.command, [wakeups] { wakeups->Raise(&Wakeups::work_ended); }, why);
    if (!work) {
      objects.ReleaseMutex(mutex);
      return fail(why);
    }
  }

  auto fail_waiting = [&] {
    work.reset();
    objects.ReleaseMutex(mutex);
    return fail(std::string("cannot wait on event ") + self.stop_event_name);
  };

  const StartOutcome started = AcknowledgeStart(plan, objects, stop);
  if (started == StartOutcome::failed) return fail_waiting();

  if (started == StartOutcome::running && !work) {
    if (objects.WaitUntilReset(stop, kInfinite) != ResetWait::reset) return fail_waiting();
  } else if (started == StartOutcome::running) {
    // Two things end a peer with a program: a helper thread waits for the
    // stop request while the program's watcher reports its end.
    std::thread stop_waiter([wakeups, &objects, stop] {
      const bool reset = objects.WaitUntilReset(stop, kInfinite) == ResetWait::reset;
      wakeups->Raise(reset ? &Wakeups::stop_requested : &Wakeups::stop_wait_failed);
    });
    std::unique_lock lock(wakeups->mutex);
    wakeups->changed.wait(lock, [&] {
      return wakeups->stop_requested || wakeups->stop_wait_failed || wakeups->work_ended;
    });
    const bool woken_by_stop_event = wakeups->stop_requested || wakeups->stop_wait_failed;
    const bool stop_wait_failed = wakeups->stop_wait_failed;
    lock.unlock();
    if (!woken_by_stop_event) {
      // The program ended by itself, and the peer ends with it,
      // unacknowledged, while the helper still waits on the stop event.
      stop_waiter.detach();
      objects.ReleaseMutex(mutex);
      return kExitDone;
    }
    stop_waiter.join();
    if (stop_wait_failed) return fail_waiting();
  }

  if (settings.stop_delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settings.stop_delay_ms));
  }
  if (work) work->Stop(kChildStopGrace);
  objects.ReleaseMutex(mutex);
  if (settings.ack_stop) (void)objects.SetEvent(stop);
  return kExitDone;
}

}  // namespace mox::moxpeer
