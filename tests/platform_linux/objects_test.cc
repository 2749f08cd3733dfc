// Named mutexes and events across real processes, the object directory, and
// object files that are damaged or not ours.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "platform/peer_objects.h"
#include "platform/system_ops.h"

namespace mox {
namespace {

using test::Child;
using test::Clock;
using test::ElapsedMs;
using test::TempDir;

// Every test gets its own object directory.
class ObjectsTest : public testing::Test {
 protected:
  ObjectsTest() : objects_(tmp_ / "objects") { ::setenv("MOX_OBJECT_DIR", objects_.c_str(), 1); }
  ~ObjectsTest() override { ::unsetenv("MOX_OBJECT_DIR"); }

  // The state of an event, as a zero time-out wait sees it.
  WaitResult State(EventHandle h) { return ops_.WaitForEvents({&h, 1}, true, 0); }

  bool Exists(const std::string& file) const {
    struct stat st;
    return ::lstat((objects_ + "/" + file).c_str(), &st) == 0;
  }

  TempDir tmp_;
  std::string objects_;
  SystemOps& ops_ = PlatformSystemOps();
  PeerObjects& peer_ = PlatformPeerObjects();
};

constexpr WaitResult kSignalled = WaitResult::all_signalled;
constexpr WaitResult kClear = WaitResult::timed_out;

// The ways a child stops holding an object: it exits, it is killed, or it is
// asked to and keeps running.
enum class LetGo { exits, killed, asked };
struct LetGoCase {
  const char* name;
  LetGo how;
};

// Makes `child` let go `how`; `request` is the line that asks it to.
void LetGoOf(Child& child, LetGo how, const std::string& request) {
  switch (how) {
    case LetGo::exits:
      child.EndAndWaitForZombie();
      break;
    case LetGo::killed:
      child.KillAndWaitForZombie();
      break;
    case LetGo::asked:
      ASSERT_EQ(child.Ask(request), "1");
      ASSERT_EQ(child.Ask("ping"), "pong") << "the child must still be running";
      break;
  }
}

// ---------------------------------------------------------------------------
// Mutexes

TEST_F(ObjectsTest, MutexHeldByAChildIsPresentUntilTheChildLetsGoOrDies) {
  for (const LetGoCase& c : {
           LetGoCase{"exits",        LetGo::exits },
           LetGoCase{"SIGKILL",      LetGo::killed},
           LetGoCase{"ReleaseMutex", LetGo::asked }
  }) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ops_.IsPeerRunning("PELKAR_MTX"));
    Child child;
    ASSERT_EQ(child.Ask("hold PELKAR_MTX"), "1");
    EXPECT_TRUE(ops_.IsPeerRunning("PELKAR_MTX"));
    EXPECT_TRUE(ops_.IsPeerRunning("PELKAR_MTX")) << "a probe must not take the mutex away";
    ASSERT_NO_FATAL_FAILURE(LetGoOf(child, c.how, "release PELKAR_MTX"));
    // An ended child is not reaped yet: even as a zombie it holds nothing.
    EXPECT_FALSE(ops_.IsPeerRunning("PELKAR_MTX"));
  }
}

TEST_F(ObjectsTest, MutexStaysWhileAnyHolderRemains) {
  Child child;
  ASSERT_EQ(child.Ask("hold DUMERA_MTX"), "1");
  const MutexHandle mine = peer_.HoldMutex("DUMERA_MTX");
  ASSERT_TRUE(mine);
  child.KillAndWaitForZombie();
  EXPECT_TRUE(ops_.IsPeerRunning("DUMERA_MTX"));
  peer_.ReleaseMutex(mine);
  EXPECT_FALSE(ops_.IsPeerRunning("DUMERA_MTX"));
  peer_.ReleaseMutex(mine);  // a second release of the same handle is harmless
  EXPECT_FALSE(ops_.IsPeerRunning("DUMERA_MTX"));
}

TEST_F(ObjectsTest, ProbeCreatesAndLocksNothing) {
  EXPECT_FALSE(ops_.IsPeerRunning("TARVEX_MTX"));
  EXPECT_FALSE(Exists("TARVEX_MTX.mutex"));
  // A file left by a holder that has gone reads as absent, and a probe
  // holds no lock that would make another probe see it.
  const MutexHandle h = peer_.HoldMutex("TARVEX_MTX");
  ASSERT_TRUE(h);
  peer_.ReleaseMutex(h);
  ASSERT_TRUE(Exists("TARVEX_MTX.mutex"));
  EXPECT_FALSE(ops_.IsPeerRunning("TARVEX_MTX"));
  Child child;
  EXPECT_EQ(child.Ask("probe TARVEX_MTX"), "0");
}

TEST_F(ObjectsTest, NamesAreEncodedAndCaseSensitive) {
  const MutexHandle h = peer_.HoldMutex("Global\\odd name/..");
  ASSERT_TRUE(h);
  EXPECT_TRUE(Exists("Global%5Codd%20name%2F...mutex"));
  EXPECT_TRUE(ops_.IsPeerRunning("Global\\odd name/.."));
  EXPECT_FALSE(ops_.IsPeerRunning("global\\odd name/.."));
  const MutexHandle dot = peer_.HoldMutex(".hidden");
  ASSERT_TRUE(dot);
  EXPECT_TRUE(Exists("%2Ehidden.mutex"));
  // Empty and overlong names name nothing.
  EXPECT_FALSE(peer_.HoldMutex(""));
  EXPECT_FALSE(peer_.HoldMutex(std::string(300, 'A').c_str()));
  EXPECT_FALSE(ops_.CreateOrOpenEvent("", true, true));
  peer_.ReleaseMutex(h);
  peer_.ReleaseMutex(dot);
}

// ---------------------------------------------------------------------------
// Events: creation, lifetime, handles

TEST_F(ObjectsTest, InitialStateAppliesOnlyToANewEvent) {
  for (const bool initial : {true, false}) {
    SCOPED_TRACE(initial ? "created signalled" : "created non-signalled");
    const std::string name = initial ? "StopPelkarEvent" : "StartPelkarEvent";
    const EventHandle mine = ops_.CreateOrOpenEvent(name.c_str(), true, initial);
    ASSERT_TRUE(mine);
    EXPECT_EQ(State(mine), initial ? kSignalled : kClear);
    Child child;
    ASSERT_EQ(child.Ask("create " + name + (initial ? " 0" : " 1")), "1");
    EXPECT_EQ(child.Ask("state " + name), initial ? "all_signalled" : "timed_out")
        << "the existing event must be opened unchanged";
    // Both handles name one object.
    ASSERT_EQ(child.Ask((initial ? "reset " : "set ") + name), "1");
    EXPECT_EQ(State(mine), initial ? kClear : kSignalled);
    peer_.CloseEvent(mine);
  }
}

TEST_F(ObjectsTest, EventWhoseLastHolderEndedStartsFresh) {
  for (const LetGoCase& c : {
           LetGoCase{"exits",      LetGo::exits },
           LetGoCase{"SIGKILL",    LetGo::killed},
           LetGoCase{"CloseEvent", LetGo::asked }
  }) {
    SCOPED_TRACE(c.name);
    Child child;
    ASSERT_EQ(child.Ask("create StopDumeraEvent 1"), "1");
    ASSERT_NO_FATAL_FAILURE(LetGoOf(child, c.how, "close StopDumeraEvent"));
    EXPECT_FALSE(peer_.OpenEvent("StopDumeraEvent")) << "nobody holds it: it does not exist";
    const EventHandle fresh = ops_.CreateOrOpenEvent("StopDumeraEvent", true, false);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(State(fresh), kClear);
    peer_.CloseEvent(fresh);
  }
}

TEST_F(ObjectsTest, ConcurrentCreatorsAgreeOnOneEvent) {
  constexpr int kChildren = 6;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kChildren; ++i) children.push_back(std::make_unique<Child>());
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string name = "Race" + std::to_string(round);
    // All children create at nearly the same moment, half of them asking for
    // a signalled event and half for a non-signalled one.
    for (int i = 0; i < kChildren; ++i) {
      children[i]->Send("create " + name + " " + std::to_string(i % 2));
    }
    for (auto& child : children) ASSERT_EQ(child->Receive(), "1");
    const std::string first = children[0]->Ask("state " + name);
    ASSERT_TRUE(first == "all_signalled" || first == "timed_out") << first;
    for (auto& child : children) EXPECT_EQ(child->Ask("state " + name), first);
    // And it is one object: a change made by one is seen by all.
    ASSERT_EQ(children[1]->Ask((first == "all_signalled" ? "reset " : "set ") + name), "1");
    for (auto& child : children) EXPECT_NE(child->Ask("state " + name), first);
  }
}

TEST_F(ObjectsTest, OpenEventFindsOnlyAHeldEvent) {
  EXPECT_FALSE(peer_.OpenEvent("StartTarvexEvent"));
  EXPECT_FALSE(Exists("StartTarvexEvent.event"));
  Child child;
  ASSERT_EQ(child.Ask("create StartTarvexEvent 0"), "1");
  const EventHandle opened = peer_.OpenEvent("StartTarvexEvent");
  ASSERT_TRUE(opened);
  EXPECT_EQ(State(opened), kClear);
  EXPECT_TRUE(peer_.SetEvent(opened));
  EXPECT_EQ(child.Ask("state StartTarvexEvent"), "all_signalled");
  // The opened handle keeps the event alive after its creator is gone.
  child.KillAndWaitForZombie();
  const EventHandle again = ops_.CreateOrOpenEvent("StartTarvexEvent", true, false);
  EXPECT_EQ(State(again), kSignalled);
  peer_.CloseEvent(opened);
  peer_.CloseEvent(again);
}

TEST_F(ObjectsTest, BadHandlesAreRefused) {
  const EventHandle event = ops_.CreateOrOpenEvent("StopQuilmoEvent", true, true);
  ASSERT_TRUE(event);
  const EventHandle made_up{event.value + 12345};
  const EventHandle null{};
  for (const EventHandle h : {null, made_up}) {
    EXPECT_FALSE(peer_.SetEvent(h));
    EXPECT_FALSE(ops_.ResetEvent(h));
    EXPECT_EQ(peer_.WaitUntilReset(h, 0), ResetWait::failed);
    peer_.CloseEvent(h);  // harmless
  }
  EXPECT_EQ(State(event), kSignalled) << "the made-up handle must not have closed it";
  peer_.CloseEvent(event);
  EXPECT_FALSE(peer_.SetEvent(event)) << "a closed handle is unknown";
  EXPECT_EQ(State(event), WaitResult::failed);
  // A new handle in the freed slot is not the old one.
  const EventHandle next = ops_.CreateOrOpenEvent("StopQuilmoEvent", true, false);
  ASSERT_TRUE(next);
  EXPECT_NE(next, event);
  EXPECT_FALSE(peer_.SetEvent(event));
  EXPECT_EQ(State(next), kClear);
  peer_.CloseEvent(next);
  // Only manual-reset events exist.
  EXPECT_FALSE(ops_.CreateOrOpenEvent("AutoEvent", false, false));
}

// ---------------------------------------------------------------------------
// Waits

TEST_F(ObjectsTest, WaitAllSucceedsAtOnceWhenAllAreSignalled) {
  std::vector<EventHandle> events;
  for (int i = 0; i < 3; ++i) {
    events.push_back(ops_.CreateOrOpenEvent(("Ready" + std::to_string(i)).c_str(), true, true));
  }
  const auto start = Clock::now();
  EXPECT_EQ(ops_.WaitForEvents(events, true, 10000), kSignalled);
  EXPECT_EQ(ops_.WaitForEvents(events, true, kInfinite), kSignalled);
  EXPECT_LT(ElapsedMs(start), 2000);
  for (const EventHandle h : events) peer_.CloseEvent(h);
}

TEST_F(ObjectsTest, WaitTimesOutOnlyAfterItsTimeOut) {
  const EventHandle set = ops_.CreateOrOpenEvent("SetOne", true, true);
  const EventHandle clear = ops_.CreateOrOpenEvent("ClearOne", true, false);
  const std::array<EventHandle, 2> both{set, clear};
  const std::array<EventHandle, 1> only_clear{clear};
  struct Case {
    const char* name;
    std::span<const EventHandle> events;
    bool wait_all;
    std::uint32_t timeout_ms;
  };
  for (const Case& c : {
           Case{"all, one clear", both,       true,  200},
           Case{"any, none set",  only_clear, false, 150},
           Case{"zero time-out",  both,       true,  0  }
  }) {
    SCOPED_TRACE(c.name);
    const auto start = Clock::now();
    EXPECT_EQ(ops_.WaitForEvents(c.events, c.wait_all, c.timeout_ms), WaitResult::timed_out);
    const long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, static_cast<long>(c.timeout_ms)) << "it returned before its time-out";
    EXPECT_LT(elapsed, 5000);
  }
  // Wait-any is satisfied by the one that is set.
  EXPECT_EQ(ops_.WaitForEvents(both, false, 10000), kSignalled);
  peer_.CloseEvent(set);
  peer_.CloseEvent(clear);
}

TEST_F(ObjectsTest, BadHandleListsFailAtOnce) {
  std::vector<EventHandle> many;
  for (std::size_t i = 0; i <= kMaxWaitEvents; ++i) {
    many.push_back(ops_.CreateOrOpenEvent(("Many" + std::to_string(i)).c_str(), true, true));
    ASSERT_TRUE(many.back());
  }
  const EventHandle a = many[0];
  const EventHandle closed = ops_.CreateOrOpenEvent("Closed", true, true);
  peer_.CloseEvent(closed);
  struct Case {
    const char* name;
    std::vector<EventHandle> list;
  };
  const Case cases[] = {
      {"empty",                     {}                      },
      {"a null handle",             {a, EventHandle{}}      },
      {"a handle never issued",     {a, EventHandle{0x7777}}},
      {"a closed handle",           {a, closed}             },
      {"a repeated handle",         {a, many[1], a}         },
      {"one more than the maximum", many                    },
  };
  for (const bool wait_all : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (wait_all ? "all: " : "any: ") << c.name);
      const auto start = Clock::now();
      EXPECT_EQ(ops_.WaitForEvents(c.list, wait_all, 20000), WaitResult::failed);
      EXPECT_LT(ElapsedMs(start), 2000);
    }
  }
  // The maximum itself is fine.
  EXPECT_EQ(ops_.WaitForEvents(std::span(many).first(kMaxWaitEvents), true, 20000), kSignalled);
  for (const EventHandle h : many) peer_.CloseEvent(h);
}

TEST_F(ObjectsTest, SetsFromOtherProcessesWakeTheWait) {
  const EventHandle a = ops_.CreateOrOpenEvent("StartSalvorEvent", true, false);
  const EventHandle b = ops_.CreateOrOpenEvent("StartFudlinEvent", true, false);
  Child salvor;
  Child fudlin;
  ASSERT_EQ(salvor.Ask("create StartSalvorEvent 0"), "1");
  ASSERT_EQ(fudlin.Ask("create StartFudlinEvent 0"), "1");
  salvor.Send("setafter StartSalvorEvent 50");
  fudlin.Send("setafter StartFudlinEvent 120");
  const std::array<EventHandle, 2> both{a, b};
  const auto start = Clock::now();
  EXPECT_EQ(ops_.WaitForEvents(both, true, 20000), kSignalled);
  EXPECT_LT(ElapsedMs(start), 10000);
  EXPECT_EQ(salvor.Receive(), "1");
  EXPECT_EQ(fudlin.Receive(), "1");

  // Wait-any wakes on the first set, infinite time-out included.
  ASSERT_TRUE(ops_.ResetEvent(a));
  ASSERT_TRUE(ops_.ResetEvent(b));
  fudlin.Send("setafter StartFudlinEvent 50");
  EXPECT_EQ(ops_.WaitForEvents(both, false, kInfinite), kSignalled);
  EXPECT_EQ(fudlin.Receive(), "1");
  peer_.CloseEvent(a);
  peer_.CloseEvent(b);
}

TEST_F(ObjectsTest, EventsNeverSignalledTogetherDoNotSatisfyWaitAll) {
  const EventHandle a = ops_.CreateOrOpenEvent("TurnA", true, false);
  const EventHandle b = ops_.CreateOrOpenEvent("TurnB", true, false);
  Child child;
  ASSERT_EQ(child.Ask("create TurnA 0"), "1");
  ASSERT_EQ(child.Ask("create TurnB 0"), "1");
  child.Send("alternate TurnA TurnB 600");
  const std::array<EventHandle, 2> both{a, b};
  EXPECT_EQ(ops_.WaitForEvents(both, true, 400), WaitResult::timed_out);
  // The child did take turns, many times, while the wait ran.
  EXPECT_GT(std::stol(child.Receive()), 100);
  peer_.CloseEvent(a);
  peer_.CloseEvent(b);
}

TEST_F(ObjectsTest, WaitUntilResetWakesOnAResetFromAnotherProcess) {
  const EventHandle stop = ops_.CreateOrOpenEvent("StopKarnEvent", true, true);
  ASSERT_TRUE(stop);
  auto start = Clock::now();
  EXPECT_EQ(peer_.WaitUntilReset(stop, 150), ResetWait::timed_out);
  EXPECT_GE(ElapsedMs(start), 150);

  Child controller;
  ASSERT_EQ(controller.Ask("create StopKarnEvent 1"), "1");
  controller.Send("resetafter StopKarnEvent 50");
  start = Clock::now();
  EXPECT_EQ(peer_.WaitUntilReset(stop, kInfinite), ResetWait::reset);
  EXPECT_LT(ElapsedMs(start), 10000);
  EXPECT_EQ(controller.Receive(), "1");
  // Already reset: at once.
  EXPECT_EQ(peer_.WaitUntilReset(stop, 0), ResetWait::reset);
  // The acknowledgement wakes the controller's wait.
  controller.Send("wait 20000 StopKarnEvent");
  ASSERT_TRUE(peer_.SetEvent(stop));
  const std::string answer = controller.Receive();
  EXPECT_EQ(answer.substr(0, answer.find(' ')), "all_signalled");
  peer_.CloseEvent(stop);
}

// ---------------------------------------------------------------------------
// The object directory. Each case runs in a fresh child, which finds the
// directory once per process and must say so exactly once on stderr.

struct DirectoryCase {
  const char* name;
  const char* reason;  // expected in the stderr line
};

class ObjectDirectoryTest : public ObjectsTest {
 protected:
  // Runs the operations of a controller and a peer in a child using `dir`,
  // expecting every one to fail, and returns what it wrote to stderr.
  std::string ExpectAllFail(const std::string& dir) {
    Child child({
        {"MOX_OBJECT_DIR", dir}
    });
    EXPECT_EQ(child.Ask("probe PELKAR_MTX"), "0");
    EXPECT_EQ(child.Ask("create StopPelkarEvent 1"), "0");
    EXPECT_EQ(child.Ask("reset StopPelkarEvent"), "0");
    const std::string wait = child.Ask("wait 20000 StopPelkarEvent");
    EXPECT_EQ(wait.substr(0, wait.find(' ')), "failed");
    EXPECT_LT(std::stol(wait.substr(wait.find(' ') + 1)), 2000);
    EXPECT_EQ(child.Ask("hold PELKAR_MTX"), "0");
    EXPECT_EQ(child.Ask("probe PELKAR_MTX"), "0");
    child.EndAndWaitForZombie();
    EXPECT_EQ(child.Reap(), 0);
    return child.ReadStderr();
  }

  static void ExpectOneLine(const std::string& text, const std::string& dir, const char* reason) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "not exactly one line: " << text;
    EXPECT_NE(text.find(dir), std::string::npos) << text;
    EXPECT_NE(text.find(reason), std::string::npos) << text;
  }
};

TEST_F(ObjectDirectoryTest, IsCreatedPrivateOnFirstUseOnly) {
  const std::string dir = tmp_ / "fresh";
  ::umask(0);  // the directory must be 0700 whatever the umask
  Child child({
      {"MOX_OBJECT_DIR", dir}
  });
  ::umask(022);
  ASSERT_EQ(child.Ask("ping"), "pong");
  struct stat st;
  EXPECT_NE(::lstat(dir.c_str(), &st), 0) << "nothing asked for an object yet";
  EXPECT_EQ(child.Ask("probe PELKAR_MTX"), "0");
  ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  ASSERT_EQ(child.Ask("hold PELKAR_MTX"), "1");
  EXPECT_FALSE(ops_.IsPeerRunning("PELKAR_MTX")) << "this process uses another directory";
  child.EndAndWaitForZombie();
  EXPECT_EQ(child.ReadStderr(), "");
}

TEST_F(ObjectDirectoryTest, UnsafeOrMissingDirectoriesAreRefusedWithOneLine) {
  const std::string real = tmp_ / "real";
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), (tmp_ / "link").c_str()), 0);
  std::ofstream(tmp_ / "file") << "x";
  ASSERT_EQ(::mkdir((tmp_ / "group").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((tmp_ / "group").c_str(), 0750), 0);
  ASSERT_EQ(::mkdir((tmp_ / "others").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((tmp_ / "others").c_str(), 0701), 0);
  struct Case {
    const char* name;
    std::string dir;
    const char* reason;
  };
  const Case cases[] = {
      {"symbolic link to a good directory", tmp_ / "link",            "is a symbolic link"                 },
      {"a regular file",                    tmp_ / "file",            "is not a directory"                 },
      {"open to the group",                 tmp_ / "group",           "open to group or others (mode 0750)"},
      {"open to others",                    tmp_ / "others",          "open to group or others (mode 0701)"},
      {"parent missing",                    tmp_ / "missing/objects", "cannot be created"                  },
      {"relative path",                     "relative/objects",       "not an absolute path"               },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOneLine(ExpectAllFail(c.dir), c.dir, c.reason);
  }
  // Nothing went through the link.
  EXPECT_EQ(::rmdir(real.c_str()), 0) << "the link's target must still be empty";
}

TEST_F(ObjectDirectoryTest, ForeignOwnerIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  const std::string dir = tmp_ / "foreign";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
  ExpectOneLine(ExpectAllFail(dir), dir, "is owned by uid 65534, not by uid 0");
}

// ---------------------------------------------------------------------------
// Object files that are damaged or not ours: refused, never followed, never
// a crash.

std::string EventImage(bool signalled) {
  std::string image(64, '\0');
  std::memcpy(image.data(), "MOXEVENT", 8);
  const std::uint32_t fields[] = {1, 1, signalled ? 1u : 0u};
  std::memcpy(image.data() + 8, fields, sizeof fields);
  return image;
}

class ObjectFileTest : public ObjectsTest {
 protected:
  ObjectFileTest() { EXPECT_EQ(::mkdir(objects_.c_str(), 0700), 0); }

  std::string PathOf(const std::string& file) const { return objects_ + "/" + file; }

  void Write(const std::string& path, const std::string& content) const {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }

  // Holds the handle byte of a file as a foreign holder would, so the
  // object counts as existing.
  int HoldLock(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    EXPECT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
    held_.push_back(fd);
    return fd;
  }

  ~ObjectFileTest() override {
    for (const int fd : held_) ::close(fd);
  }

  std::vector<int> held_;
};

TEST_F(ObjectFileTest, DamagedEventFilesOfAnExistingEventAreRefused) {
  std::string wrong_version = EventImage(true);
  wrong_version[8] = 2;
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty",                     ""  },
      {          "short", std::string("MOXEVENT\x01",   9)},
      {          "wrong magic",             std::string(64, 'x')},
      {          "wrong version",              wrong_version    },
      { "too long",                      EventImage(true) + std::string(4096,                          '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("Damaged_") + std::to_string(&c - cases);
    const std::string path = PathOf(name + ".event");
    Write(path, c.content);
    HoldLock(path);
    EXPECT_FALSE(ops_.CreateOrOpenEvent(name.c_str(), true, true));
    EXPECT_FALSE(peer_.OpenEvent(name.c_str()));
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content)
        << "an existing object's file must not be rewritten";
  }
}

TEST_F(ObjectFileTest, DamagedFileOfANonExistentEventIsMadeAfresh) {
  const std::string path = PathOf("Leftover.event");
  Write(path, "garbage");
  const EventHandle h = ops_.CreateOrOpenEvent("Leftover", true, true);
  ASSERT_TRUE(h);
  EXPECT_EQ(State(h), kSignalled);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 64);
  peer_.CloseEvent(h);
}

TEST_F(ObjectFileTest, ThingsThatAreNotOurFilesAreRefusedAndNotFollowed) {
  // A valid, held event and a held mutex outside the directory, reachable
  // only through links.
  const std::string outside_event = tmp_ / "outside.event";
  const std::string outside_mutex = tmp_ / "outside.mutex";
  Write(outside_event, EventImage(true));
  Write(outside_mutex, "");
  HoldLock(outside_event);
  HoldLock(outside_mutex);
  ASSERT_EQ(::symlink(outside_event.c_str(), PathOf("Sym.event").c_str()), 0);
  ASSERT_EQ(::symlink(outside_mutex.c_str(), PathOf("Sym.mutex").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", PathOf("Dangling.event").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", PathOf("Dangling.mutex").c_str()), 0);
  ASSERT_EQ(::link(outside_event.c_str(), PathOf("Linked.event").c_str()), 0);
  ASSERT_EQ(::link(outside_mutex.c_str(), PathOf("Linked.mutex").c_str()), 0);
  ASSERT_EQ(::mkdir(PathOf("Dir.event").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(PathOf("Dir.mutex").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(PathOf("Fifo.event").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(PathOf("Fifo.mutex").c_str(), 0600), 0);
  for (const char* name : {"Sym", "Dangling", "Linked", "Dir", "Fifo"}) {
    SCOPED_TRACE(name);
    const auto start = Clock::now();
    EXPECT_FALSE(ops_.CreateOrOpenEvent(name, true, false));
    EXPECT_FALSE(peer_.OpenEvent(name));
    EXPECT_FALSE(ops_.IsPeerRunning(name));
    EXPECT_FALSE(peer_.HoldMutex(name));
    EXPECT_LT(ElapsedMs(start), 2000) << "nothing may block on a FIFO";
  }
  struct stat st;
  EXPECT_EQ(::lstat(PathOf("Dangling.event").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(::lstat(PathOf("nowhere").c_str(), &st), 0) << "a link was followed";
}

TEST_F(ObjectFileTest, FilesOfAnotherOwnerAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const std::string event = PathOf("Foreign.event");
  const std::string mutex = PathOf("Foreign.mutex");
  Write(event, EventImage(true));
  Write(mutex, "");
  ASSERT_EQ(::chown(event.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(mutex.c_str(), 65534, 65534), 0);
  HoldLock(event);
  HoldLock(mutex);
  EXPECT_FALSE(ops_.CreateOrOpenEvent("Foreign", true, false));
  EXPECT_FALSE(peer_.OpenEvent("Foreign"));
  EXPECT_FALSE(ops_.IsPeerRunning("Foreign"));
  EXPECT_FALSE(peer_.HoldMutex("Foreign"));
}

}  // namespace
}  // namespace mox
