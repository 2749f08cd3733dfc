// A SystemOps that records every call with all its arguments and answers from
// a per-test script. It knows no peer by name: which mutexes exist and which
// event creations fail is whatever the test puts in the script.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/system_ops.h"

namespace mox::testing {

struct Script {
  std::set<std::string> existing_mutexes{};
  std::set<std::string> failing_events{};
  WaitResult wait_result = WaitResult::timed_out;
};

class RecordingSystemOps final : public SystemOps {
 public:
  explicit RecordingSystemOps(Script script = {}) : script_(std::move(script)) {}

  bool IsPeerRunning(const char* mutex_name) override {
    const bool exists = script_.existing_mutexes.contains(mutex_name);
    calls_.push_back("IsPeerRunning " + Quote(mutex_name) + " -> " +
                     (exists ? "present" : "absent"));
    return exists;
  }

  EventHandle CreateOrOpenEvent(const char* name, bool manual_reset,
                                bool initially_signalled) override {
    EventHandle handle{};
    if (!script_.failing_events.contains(name)) handle.value = ++events_created_;
    calls_.push_back("CreateEvent " + Quote(name) + " manual_reset=" + Bool(manual_reset) +
                     " initial=" + Bool(initially_signalled) + " -> " + Handle(handle));
    return handle;
  }

  bool ResetEvent(EventHandle event) override {
    calls_.push_back("ResetEvent " + Handle(event));
    return static_cast<bool>(event);
  }

  WaitResult WaitForEvents(std::span<const EventHandle> events, bool wait_all,
                           std::uint32_t timeout_ms) override {
    std::string list;
    for (EventHandle e : events) list += (list.empty() ? "" : ",") + Handle(e);
    calls_.push_back("Wait count=" + std::to_string(events.size()) + " [" + list +
                     "] wait_all=" + Bool(wait_all) + " timeout=" + std::to_string(timeout_ms));
    return script_.wait_result;
  }

  bool Launch(const LaunchRequest& r) override {
    calls_.push_back("Launch verb=" + Quote(r.verb) + " file=" + Quote(r.file) +
                     " parameters=" + Quote(r.parameters) + " directory=" + Quote(r.directory) +
                     " show=" + (r.show == ShowCommand::hide ? "hide" : "other"));
    return true;
  }

  const std::vector<std::string>& calls() const { return calls_; }

 private:
  // A null text is recorded as <none>, distinct from an empty "".
  static std::string Quote(const char* s) {
    return s == nullptr ? "<none>" : "\"" + std::string(s) + "\"";
  }
  static std::string Bool(bool b) { return b ? "1" : "0"; }
  static std::string Handle(EventHandle h) { return h ? "h" + std::to_string(h.value) : "null"; }

  Script script_;
  std::vector<std::string> calls_;
  std::uintptr_t events_created_ = 0;
};

}  // namespace mox::testing
