// The console contract of RunCommand: argument count, usage text, letter
// decoding and which procedure a letter reaches.
#include "cli/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_system_ops.h"
#include "temp_dir.h"

namespace mox {
namespace {

using testing::RecordingSystemOps;

constexpr char kUsage[] = "moxctrl Param S/E/N/F/B/X/A/D\nBei lokalem Aufruf Param s/n";

struct Outcome {
  int exit_code;
  std::string out;
  std::vector<std::string> calls;
};

Outcome RunWith(const std::vector<const char*>& args) {
  RecordingSystemOps ops;
  std::string out;
  const int code = RunCommand(args, ops, out);
  return {code, out, ops.calls()};
}

class CommandTest : public ::testing::Test {
 protected:
  testing::ScopedTempDir dir_;
  testing::ScopedCurrentDir cwd_{dir_.path()};
};

TEST_F(CommandTest, WrongArgumentCountPrintsUsageAndFails) {
  const std::vector<std::vector<const char*>> cases = {
      {        },
      {             "moxctrl"  },
      {         "moxctrl",        "C", "C"},
      { "moxctrl",        "S", "x", "y"},
      {            "moxctrl", "", ""},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    const Outcome run = RunWith(args);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_TRUE(run.calls.empty());
  }
}

TEST_F(CommandTest, UsageTextDoesNotMentionStatusLetter) {
  EXPECT_EQ(std::string(kUsage).find('C'), std::string::npos);
}

// Each letter, in either case, reaches the same calls as its upper-case form
// run through the procedure it names; only lower-case s and n ask for local
// mode, and only the first character counts.
TEST_F(CommandTest, LettersReachTheirProcedureInEitherCase) {
  struct Case {
    const char* arg;
    const char* same_as;
  };
  const Case cases[] = {
      {"s",      "s"},
      {"status", "s"},
      {"S",      "S"},
      {"Start",  "S"},
      {"sTOP",   "s"},
      {"e",      "E"},
      {"n",      "n"},
      {"N",      "N"},
      {"nix",    "n"},
      {"f",      "F"},
      {"a",      "A"},
      {"d",      "D"},
      {"b",      "B"},
      {"x",      "X"},
      {"c",      "C"},
      {"Cx",     "C"},
      {"E",      "E"},
      {"F",      "F"},
      {"A",      "A"},
      {"D",      "D"},
      {"B",      "B"},
      {"X",      "X"},
      {"C",      "C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    const Outcome run = RunWith({"moxctrl", c.arg});
    const Outcome reference = RunWith({"moxctrl", c.same_as});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.calls, reference.calls);
    EXPECT_EQ(run.out, reference.out);
    EXPECT_FALSE(run.calls.empty());
  }
}

TEST_F(CommandTest, LocalAndNormalModeDifferOnlyForLowerCaseSAndN) {
  EXPECT_NE(RunWith({"moxctrl", "s"}).calls, RunWith({"moxctrl", "S"}).calls);
  EXPECT_NE(RunWith({"moxctrl", "n"}).calls, RunWith({"moxctrl", "N"}).calls);
}

// Every first byte outside the table, including the empty argument and
// bytes above 127 (negative as a signed char), does nothing at all.
TEST_F(CommandTest, LettersWithoutARowDoNothing) {
  const std::string dispatched = "SENFADBXCsenfadbxc";
  std::vector<std::string> args = {"", "G", "Z", "1", "g", "z", "?", " S"};
  for (int byte = 1; byte < 256; ++byte) {
    if (dispatched.find(static_cast<char>(byte)) == std::string::npos) {
      args.push_back(std::string(1, static_cast<char>(byte)) + "S");
    }
  }
  for (const std::string& arg : args) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(arg.empty() ? 0 : arg[0])));
    const Outcome run = RunWith({"moxctrl", arg.c_str()});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.calls.empty());
  }
}

TEST(FoldCommandLetter, FoldsOnlyAsciiLowerCase) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const char expected = (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 32) : c;
    EXPECT_EQ(FoldCommandLetter(c), expected) << byte;
  }
}

}  // namespace
}  // namespace mox
