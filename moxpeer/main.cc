// moxpeer: the reference peer. Installed under a peer's executable name
// (KARN.EXE, MOXGRENOT.EXE, ...), it is that peer. Its only argument is the
// optional parameter file the controller passes.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "moxpeer/peer.h"
#include "moxpeer/process.h"
#include "platform/peer_objects.h"

int main(int argc, char** argv) {
  mox::moxpeer::IgnoreTerminalHangup();
  const std::string name = mox::moxpeer::OwnBaseName(argc > 0 ? argv[0] : nullptr);
  const std::optional<mox::moxpeer::PeerPlan> plan =
      mox::moxpeer::PlanPeer(name, argc > 1 ? argv[1] : nullptr, std::cerr);
  if (!plan) return mox::moxpeer::kExitBadSetup;

  const int code = mox::moxpeer::RunPeer(*plan, mox::PlatformPeerObjects(), std::cerr);
  // A helper thread may still be blocked inside the platform layer waiting
  // on the stop event; end without running static destructors under it.
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}
