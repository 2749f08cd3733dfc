#include "peers/peer_table.h"

#include <gtest/gtest.h>

namespace mox {
namespace {

TEST(FindPeerByExecutable, MatchesExecutableNamesIgnoringAsciiCaseOnly) {
  struct Case {
    const char* name;
    const PeerEntry* expected;
  };
  const Case cases[] = {
      {"KARN.EXE",          &peer(PeerId::KARN)  },
      {"karn.exe",          &peer(PeerId::KARN)  },
      {"MoxGrenot.Exe",     &peer(PeerId::SALVOR)},
      {"MOXFUDLIN.EXE",     &peer(PeerId::FUDLIN)},
      {"moxcom.EXE",        &peer(PeerId::MOXCOM)},
      {"SALVOR.EXE",        nullptr              }, // the executable carries another token
      {"KARN",              nullptr              },
      {"KARN.EXE ",         nullptr              },
      {"..\\MOX\\KARN.EXE", nullptr              }, // a base name, not a path
      {"",                  nullptr              },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindPeerByExecutable(c.name), c.expected);
  }
}

}  // namespace
}  // namespace mox
