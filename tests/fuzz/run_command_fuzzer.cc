// libFuzzer target: arbitrary argument vectors through RunCommand against a
// recording system, checking the command's invariants on every input.
//
// Input layout: the first byte is the argument count (mod 5, so wrong counts
// are common), the rest is split into arguments at NUL bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "peers/peer_table.h"
#include "recording_system_ops.h"

namespace {

constexpr std::string_view kUsage = "moxctrl Param S/E/N/F/B/X/A/D\nBei lokalem Aufruf Param s/n";

const std::set<std::string>& TableTexts() {
  static const std::set<std::string> texts = [] {
    std::set<std::string> t = {"open"};
    for (const mox::PeerEntry& p : mox::kPeerTable) {
      for (const char* s : {p.mutex_name, p.start_event_name, p.stop_event_name, p.file_normal,
                            p.file_local, p.parameters, p.directory_normal, p.directory_local}) {
        if (s != nullptr) t.insert(s);
      }
    }
    return t;
  }();
  return texts;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = data[0] % 5;
  std::vector<std::string> storage;
  std::string current;
  for (std::size_t i = 1; i < size && storage.size() < count; ++i) {
    if (data[i] == 0) {
      storage.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  while (storage.size() < count) {
    storage.push_back(current);
    current.clear();
  }
  std::vector<const char*> args;
  for (const std::string& s : storage) args.push_back(s.c_str());

  mox::testing::RecordingSystemOps ops;
  std::string out;
  const int code = mox::RunCommand(args, ops, out);

  if (args.size() != 2) {
    Check(code == 1);
    Check(out == kUsage);
    Check(ops.calls().empty());
    return 0;
  }
  Check(code == 0);
  const char letter = mox::FoldCommandLetter(storage[1].empty() ? '\0' : storage[1][0]);
  if (!mox::FindDispatchRow(letter)) {
    Check(out.empty());
    Check(ops.calls().empty());
    return 0;
  }
  Check(letter == 'C' || out.empty());
  Check(!ops.calls().empty());
  // Every quoted text in every call comes from the peer table.
  for (const std::string& call : ops.calls()) {
    for (std::size_t open = call.find('"'); open != std::string::npos;) {
      const std::size_t close = call.find('"', open + 1);
      Check(close != std::string::npos);
      Check(TableTexts().contains(call.substr(open + 1, close - open - 1)));
      open = call.find('"', close + 1);
    }
  }
  return 0;
}
