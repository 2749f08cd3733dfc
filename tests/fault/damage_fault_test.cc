// Damaged object files and hostile object directories met by the real
// commands. Whatever lies where an object file or the object directory
// should be, moxctrl must end normally and at once (a refused event makes
// the wait fail instead of running to its time-out), say on standard error
// what it refused, and never write through a link or into a place it
// refused. What lies there must be left as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "fault_fixture.h"

namespace mox::fault {
namespace {

constexpr uid_t kNobody = 65534;
constexpr char kPrecious[] = "precious content, not an object\n";
constexpr char kNothingRuns[] = "EFFE";

// The 64 bytes of a valid event file, non-signalled.
std::string EventImage() {
  std::string image(64, '\0');
  image.replace(0, 8, "MOXEVENT");
  image[8] = 1;   // version
  image[12] = 1;  // manual-reset
  return image;
}

class Damage : public Installation {
 protected:
  static void ExpectQuietAndPrompt(const Outcome& o) {
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_LT(o.took, kPrompt);
    EXPECT_FALSE(o.hung);
  }

  // Ends normally and at once, but says which object file it refused.
  void ExpectRefusedAndPrompt(const Outcome& o, const std::string& file) const {
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find("refusing object file " + ObjectFile(file).string() + ": "),
              std::string::npos)
        << o.err;
    EXPECT_LT(o.took, kPrompt);
    EXPECT_FALSE(o.hung);
  }

  // Something that must stay as it was: a file's bytes, or a directory's
  // emptiness.
  struct Untouched {
    fs::path path;
    std::string content;  // for a file
  };
  static void ExpectUntouched(const Untouched& u) {
    const fs::file_status st = fs::symlink_status(u.path);
    if (fs::is_directory(st)) {
      EXPECT_TRUE(fs::is_empty(u.path)) << u.path;
    } else if (fs::is_regular_file(st)) {
      EXPECT_EQ(ReadFile(u.path), u.content) << u.path;
    } else {
      EXPECT_TRUE(fs::exists(st)) << u.path << " is gone";
    }
  }

  fs::path Victim() const {
    const fs::path victim = root_ / "victim";
    WriteFile(victim, kPrecious);
    return victim;
  }

  // The object file `file` emptied of whatever a case put there.
  void Clear(const std::string& file) const {
    const fs::path path = ObjectFile(file);
    std::error_code ignored;
    fs::remove_all(path, ignored);
    fs::remove(root_ / "victim", ignored);
  }
};

// What the test plants as an object file, and what must stay unchanged.
struct Planted {
  std::vector<ScopedFd> holds;  // locks the test keeps while the command runs
  std::vector<std::pair<fs::path, std::string>> untouched;
};

// --- mutexes: the probe -------------------------------------------------------

TEST_F(Damage, MutexFilesThatAreNotOursReadAsAbsent) {
  // DUMERA's mutex held for real, so Rechts reads running exactly when
  // PELKAR's counts as present.
  const ScopedFd dumera = HoldHandleByte(ObjectFile("DUMERA_MTX.mutex"));
  ASSERT_TRUE(dumera);
  const fs::path pelkar = ObjectFile("PELKAR_MTX.mutex");

  struct Case {
    const char* name;
    char rechts;  // the status letter of Rechts
    bool needs_root;
    std::function<void(Planted&)> plant;
  };
  const Case cases[] = {
      {"a held file (the control case)", 'N', false,
       [&](Planted& p) { p.holds.push_back(HoldHandleByte(pelkar)); }                                               },
      {"a symbolic link to a held file", 'F', false,
       [&](Planted& p) {
         const fs::path victim = Victim();
         p.holds.push_back(HoldHandleByte(victim));
         p.untouched.emplace_back(victim, kPrecious);
         fs::create_symlink(victim, pelkar);
       }                                                                                                            },
      {"a second link of a held file",   'F', false,
       [&](Planted& p) {
         const fs::path victim = Victim();
         p.holds.push_back(HoldHandleByte(victim));
         p.untouched.emplace_back(victim, kPrecious);
         fs::create_hard_link(victim, pelkar);
       }                                                                                                            },
      {"a held file of another user",    'F', true,
       [&](Planted& p) {
         p.holds.push_back(HoldHandleByte(pelkar));
         ASSERT_EQ(::chown(pelkar.c_str(), kNobody, kNobody), 0);
       }                                                                                                            },
      {"a directory",                    'F', false, [&](Planted&) { fs::create_directory(pelkar); }                },
      {"a FIFO",                         'F', false, [&](Planted&) { ASSERT_EQ(::mkfifo(pelkar.c_str(), 0600), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && ::geteuid() != 0) {
      std::cout << "skipped, needs root to give a file away: " << c.name << '\n';
      continue;
    }
    Planted planted;
    c.plant(planted);
    for (const ScopedFd& hold : planted.holds) ASSERT_TRUE(hold);

    const Outcome o = Ctl("C", {}, kPrompt);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_FALSE(o.hung);
    EXPECT_EQ(o.out, StatusLine(std::string("E") + c.rechts + "FE"));
    // Whatever is refused is named on standard error, once.
    if (c.rechts == 'N') {
      EXPECT_EQ(o.err, "");
    } else {
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
      EXPECT_NE(o.err.find("refusing object file " + pelkar.string() + ": "), std::string::npos)
          << o.err;
    }
    for (const auto& [path, content] : planted.untouched) ExpectUntouched({path, content});
    Clear("PELKAR_MTX.mutex");
  }
}

// A peer never creates or locks anything through a link where its mutex
// file should be; it says why it cannot run and ends.
TEST_F(Damage, PeerRefusesALinkInPlaceOfItsMutex) {
  const fs::path dir = install_ / "MOX/GENERATOR/COMM";
  const fs::path pelkar = ObjectFile("PELKAR_MTX.mutex");
  const fs::path nowhere = root_ / "must-not-appear";
  struct Case {
    const char* name;
    fs::path target;
  };
  const Case cases[] = {
      {"a link to an existing file", Victim()},
      {"a dangling link",            nowhere },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_symlink(c.target, pelkar);
    const Outcome o =
        Run({(dir / "PELKAR.EXE").string(), "PORVIN.INI"}, dir, std::nullopt, kPrompt);
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "PELKAR.EXE: refusing object file " + pelkar.string() +
                         ": it is a symbolic link\nPELKAR.EXE: cannot hold mutex PELKAR_MTX\n");
    EXPECT_FALSE(fs::exists(nowhere));
    if (fs::exists(c.target)) {
      EXPECT_EQ(ReadFile(c.target), kPrecious);
    }
    fs::remove(pelkar);
  }
  EXPECT_EQ(Status(), kNothingRuns);
}

// --- events: start and stop ---------------------------------------------------

// A damaged event file that nobody holds is no event: the first handle
// makes it afresh, and the group starts and stops as usual.
TEST_F(Damage, StaleDamagedEventFilesAreMadeAfresh) {
  std::string long_file = EventImage() + std::string(4000, 'x');
  std::string wrong_magic = EventImage();
  wrong_magic.replace(0, 8, "NOTEVENT");
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"empty", ""                   },
      {"short", EventImage().substr(0, 20)},
      {"wrong magic",       wrong_magic               },
      {"wrong version",       EventImage().replace(8,1, "\x07")},
      {"too long",      long_file                     },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The start event is made by the controller, the stop event by the peer.
    for (const char* file : {"StartPelkarEvent.event", "StopPelkarEvent.event"}) {
      WriteFile(ObjectFile(file), c.content);
    }
    ExpectQuietAndPrompt(Ctl("N"));
    EXPECT_EQ(Status(), "ENFE");
    EXPECT_TRUE(EventWord("StopPelkarEvent").has_value());
    ExpectQuietAndPrompt(Ctl("F"));
    EXPECT_EQ(Status(), kNothingRuns);
    EXPECT_EQ(fs::file_size(ObjectFile("StartPelkarEvent.event")), 64u);
    EXPECT_TRUE(WaitUntil([&] { return AllPeers().empty(); }, kPrompt));
  }
}

// What cannot be an event is refused: the slot stays empty and the wait
// fails at once, so a start does not wait for acknowledgements and a stop
// of peers that do not run does not wait its 30 s. Nothing is written
// through a link, into a file of another user, or into a file some process
// holds with a wrong header (touching the mapping of an empty one would
// raise SIGBUS).
TEST_F(Damage, EventFilesThatCannotBeEventsAreRefusedAtOnce) {
  struct Case {
    const char* name;
    bool needs_root;
    std::function<void(const fs::path&, Planted&)> plant;
  };
  const Case cases[] = {
      {"a symbolic link to a file",                 false,
       [&](const fs::path& file,                                                     Planted& p) {
         const fs::path victim = Victim();
         p.untouched.emplace_back(victim, kPrecious);
         fs::create_symlink(victim, file);
       }                                                                                                      },
      {"a symbolic link to a held event file",      false,
       [&](const fs::path& file,                                                     Planted& p) {
         const fs::path victim = root_ / "victim";
         WriteFile(victim, EventImage());
         p.holds.push_back(HoldHandleByte(victim));
         p.untouched.emplace_back(victim, EventImage());
         fs::create_symlink(victim, file);
       }                                                                                                      },
      {"a directory",                               false, [&](const fs::path& file, Planted&) { fs::create_directory(file); }                },
      {"a FIFO",                                    false,
       [&](const fs::path& file,                                                     Planted&) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
      {"a file of another user",                    true,
       [&](const fs::path& file,                                                     Planted& p) {
         WriteFile(file, kPrecious);
         p.untouched.emplace_back(file, kPrecious);
         ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
       }                                                                                                      },
      {"a held empty file, which cannot be mapped", false,
       [&](const fs::path& file,                                                     Planted& p) {
         WriteFile(file, "");
         p.holds.push_back(HoldHandleByte(file));
         p.untouched.emplace_back(file, "");
       }                                                                                                      },
      {"a held file, too short to map",             false,
       [&](const fs::path& file,                                                     Planted& p) {
         WriteFile(file, EventImage().substr(0, 8));
         p.holds.push_back(HoldHandleByte(file));
         p.untouched.emplace_back(file, EventImage().substr(0, 8));
       }                                                                                                      },
      {"a held file with a wrong header",           false,
       [&](const fs::path& file,                                                     Planted& p) {
         std::string image = EventImage();
         image.replace(0, 8, "NOTEVENT");
         WriteFile(file, image);
         p.holds.push_back(HoldHandleByte(file));
         p.untouched.emplace_back(file, image);
       }                                                                                                      },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && ::geteuid() != 0) {
      std::cout << "skipped, needs root to give a file away: " << c.name << '\n';
      continue;
    }
    {
      SCOPED_TRACE("start event, letter N");
      Planted planted;
      c.plant(ObjectFile("StartPelkarEvent.event"), planted);
      for (const ScopedFd& hold : planted.holds) ASSERT_TRUE(hold);
      ExpectRefusedAndPrompt(Ctl("N"), "StartPelkarEvent.event");
      // PELKAR finds no start event to set either, and simply runs.
      EXPECT_EQ(AwaitStatus("ENFE"), "ENFE");
      ExpectQuietAndPrompt(Ctl("F"));
      EXPECT_EQ(Status(), kNothingRuns);
      EXPECT_TRUE(WaitUntil([&] { return AllPeers().empty(); }, kPrompt));
      for (const auto& [path, content] : planted.untouched) ExpectUntouched({path, content});
      Clear("StartPelkarEvent.event");
    }
    {
      SCOPED_TRACE("stop event, letter F, nothing running");
      // The peers just stopped left their stop event files behind.
      Clear("StopPelkarEvent.event");
      Planted planted;
      c.plant(ObjectFile("StopPelkarEvent.event"), planted);
      for (const ScopedFd& hold : planted.holds) ASSERT_TRUE(hold);
      ExpectRefusedAndPrompt(Ctl("F"), "StopPelkarEvent.event");
      EXPECT_EQ(Status(), kNothingRuns);
      for (const auto& [path, content] : planted.untouched) ExpectUntouched({path, content});
      Clear("StopPelkarEvent.event");
    }
  }
}

// --- the object directory -----------------------------------------------------

// A directory that is not safe is refused with one line naming it and the
// reason, whatever the letter; the peers a start launches refuse it too and
// end. Nothing is created in it, through it, or in place of it.
TEST_F(Damage, HostileObjectDirectoryIsRefusedWithOneLine) {
  struct Case {
    const char* name;
    bool needs_root;
    std::string directory;  // MOX_OBJECT_DIR
    std::string reason;
    std::function<void(Planted&)> plant;
  };
  const fs::path real = root_ / "real";
  const Case cases[] = {
      {"a symbolic link to a private directory", false, (root_ / "link").string(),
       "it is a symbolic link",                                                                                             [&](Planted& p) {
         fs::create_directory(real);
         fs::permissions(real, fs::perms::owner_all, fs::perm_options::replace);
         fs::create_directory_symlink(real, root_ / "link");
         p.untouched.emplace_back(real, "");
       }                                                                                                    },
      {"owned by another user",                  true,  (root_ / "foreign").string(),
       "it is owned by uid 65534, not by uid 0",                                                                            [&](Planted& p) {
         ASSERT_EQ(::mkdir((root_ / "foreign").c_str(), 0700), 0);
         ASSERT_EQ(::chown((root_ / "foreign").c_str(), kNobody, kNobody), 0);
         p.untouched.emplace_back(root_ / "foreign", "");
       }                                                                                   },
      {"open to everyone",                       false, (root_ / "open").string(),
       "it is open to group or others (mode 0777)",                                                                         [&](Planted& p) {
         fs::create_directory(root_ / "open");
         fs::permissions(root_ / "open", fs::perms::all, fs::perm_options::replace);
         p.untouched.emplace_back(root_ / "open", "");
       }                                                                                },
      {"a regular file",                         false, (root_ / "victim").string(),          "it is not a directory",
       [&](Planted& p) { p.untouched.emplace_back(Victim(), kPrecious); }                                                                  },
      {"a relative path",                        false, "objects",                            "it is not an absolute path", [](Planted&) {}},
      {"a missing parent",                       false, (root_ / "missing/objects").string(),
       "it cannot be created (No such file or directory)",                                                                  [](Planted&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && ::geteuid() != 0) {
      std::cout << "skipped, needs root to give a directory away: " << c.name << '\n';
      continue;
    }
    Planted planted;
    c.plant(planted);
    for (const char* letter : {"C", "N", "F"}) {
      SCOPED_TRACE(letter);
      const Outcome o = Run({MOXCTRL_PATH, letter}, install_, fs::path(c.directory));
      EXPECT_EQ(o.exit_code, 0);
      EXPECT_EQ(o.out, std::string(letter) == "C" ? StatusLine(kNothingRuns) : "");
      EXPECT_EQ(o.err,
                "moxctrl: cannot use object directory " + c.directory + ": " + c.reason + "\n");
      EXPECT_LT(o.took, kPrompt);
      EXPECT_FALSE(o.hung);
      EXPECT_TRUE(WaitUntil([&] { return AllPeers().empty(); }, kPrompt));
      for (const auto& [path, content] : planted.untouched) ExpectUntouched({path, content});
    }
    EXPECT_FALSE(fs::exists(install_ / "objects"));
    EXPECT_FALSE(fs::exists(root_ / "missing"));
    // Nothing was made in the test's own directory either.
    EXPECT_TRUE(fs::is_empty(objects_));
  }
}

}  // namespace
}  // namespace mox::fault
