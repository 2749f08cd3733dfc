// A status command whose status file cannot be written: the report on
// standard output stays complete, nothing goes to standard error, the exit
// code is 0 and the command ends at once. What stands where the file should
// be is left as it was.
//
// We run as root, which file modes do not stop, so the working directory is
// made read-only, full or out of inodes with a small tmpfs mounted in a
// private mount namespace (unshare -m) that vanishes with the command; and
// a status file that cannot be opened is an immutable one. Where the
// machine does not allow these, the cases are skipped and say why.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fault_fixture.h"

namespace mox::fault {
namespace {

constexpr char kRunning[] = "ENFE";  // Rechts runs while the report is taken

// Changes the immutable flag of a file; false when the file system or the
// caller's powers do not allow it.
bool SetImmutable(const fs::path& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

std::string Unshare() {
  for (const char* path : {"/usr/bin/unshare", "/bin/unshare"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

class StatusFile : public Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    if (HasFatalFailure()) return;
    work_ = root_ / "work";
    fs::create_directory(work_);
    const Outcome start = Ctl("N");
    ASSERT_EQ(start.exit_code, 0);
    ASSERT_LT(start.took, kPrompt);
  }

  // The report must be whole whatever happened to the file.
  static void ExpectCompleteReport(const Outcome& o) {
    EXPECT_FALSE(o.hung) << "the status command did not end";
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, StatusLine(kRunning));
    EXPECT_EQ(o.err, "");
    EXPECT_LT(o.took, kPrompt);
  }

  // moxctrl C in a tmpfs mounted on `work_` in a private mount namespace,
  // after `prepare` (shell commands, run inside it) has done its damage. The
  // shell ends with 97 if `prepare` failed.
  Outcome StatusInTmpfs(const std::string& options, const std::string& prepare) const {
    const std::string script = "mount -t tmpfs -o '" + options + "' tmpfs \"$1\" || exit 97\n" +
                               "cd \"$1\" || exit 97\n" + prepare + "\nexec \"$2\" C\n";
    return Run({Unshare(), "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                work_.string(), MOXCTRL_PATH},
               root_, std::nullopt, kPrompt);
  }

  // Whether this machine lets us mount a tmpfs in a private namespace.
  bool CanMountTmpfs() const {
    if (Unshare().empty()) return false;
    const Outcome probe = StatusInTmpfs("size=64k", "exit 0");
    return probe.exit_code == 0;
  }

  fs::path work_;
};

TEST_F(StatusFile, WhateverStandsInItsPlaceIsLeftAndTheReportIsComplete) {
  const fs::path file = work_ / "MOXCTRL.DAT";
  {
    SCOPED_TRACE("the status file is a directory");
    fs::create_directory(file);
    WriteFile(file / "inside", "kept");
    ExpectCompleteReport(Ctl("C", work_, kPrompt));
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(ReadFile(file / "inside"), "kept");
    fs::remove_all(file);
  }
  {
    SCOPED_TRACE("the status file is a link to itself");
    fs::create_symlink("MOXCTRL.DAT", file);
    ExpectCompleteReport(Ctl("C", work_, kPrompt));
    EXPECT_EQ(fs::read_symlink(file), "MOXCTRL.DAT");
    fs::remove(file);
  }
  {
    SCOPED_TRACE("the working directory was removed");
    const fs::path gone = work_ / "gone";
    fs::create_directory(gone);
    ExpectCompleteReport(Run({"/bin/sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$2\" C", "sh",
                              gone.string(), MOXCTRL_PATH},
                             work_, std::nullopt, kPrompt));
    EXPECT_FALSE(fs::exists(gone));
  }
}

TEST_F(StatusFile, ImmutableStatusFileKeepsItsContent) {
  const fs::path file = work_ / "MOXCTRL.DAT";
  WriteFile(file, "SNNS");
  if (!SetImmutable(file, true)) {
    GTEST_SKIP() << "cannot make a file immutable here (needs CAP_LINUX_IMMUTABLE and a file "
                    "system with the flag)";
  }
  const Outcome o = Ctl("C", work_, kPrompt);
  const std::string content = ReadFile(file);
  ASSERT_TRUE(SetImmutable(file, false));  // or the directory cannot be removed
  ExpectCompleteReport(o);
  EXPECT_EQ(content, "SNNS");
}

TEST_F(StatusFile, WorkingDirectoryThatCannotTakeTheFile) {
  if (!CanMountTmpfs()) {
    GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here (needs unshare and "
                    "CAP_SYS_ADMIN)";
  }
  struct Case {
    const char* name;
    std::string options;
    std::string prepare;
  };
  // Each damage is checked before moxctrl runs: a write must fail.
  const std::string proven = "if { printf x >probe; } 2>/dev/null; then exit 97; fi; rm -f probe";
  const Case cases[] = {
      {"read-only",     "size=64k",             "mount -o remount,ro \"$1\" || exit 97\n" + proven},
      {"no space left", "size=64k",             "cat /dev/zero > fill 2>/dev/null\n" + proven     },
      {"no inode left", "size=64k,nr_inodes=8",
       "i=0; while touch f$i 2>/dev/null; do i=$((i+1)); done\n" + proven                         },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = StatusInTmpfs(c.options, c.prepare);
    ASSERT_NE(o.exit_code, 97) << "the damage could not be made: " << o.err;
    ExpectCompleteReport(o);
  }
}

// A FIFO where the status file should be has no reader: opening it for
// writing waits for one, for ever.
TEST_F(StatusFile, FifoInPlaceOfTheStatusFileDoesNotHoldTheReport) {
  const fs::path file = work_ / "MOXCTRL.DAT";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  ExpectCompleteReport(Ctl("C", work_, kPrompt));
  EXPECT_EQ(fs::status(file).type(), fs::file_type::fifo);
}

}  // namespace
}  // namespace mox::fault
