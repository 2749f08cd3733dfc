#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mox {
namespace {

struct SplitCase {
  const char* name;
  const char* text;
  std::vector<std::string> args;
};

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  const SplitCase cases[] = {
      {"empty",                                                               "",                  {}                                         },
      {"blanks only",                                                         " \t  ",             {}                                         },
      {"one word",                                                            "PORVIN.INI",        {"PORVIN.INI"}                             },
      {"blanks and tabs separate, runs collapse",                             " a \t b\t\tc  ",    {"a", "b", "c"}                            },
      {"quotes group and are removed",                                        R"("a b" c)",        {"a b", "c"}                               },
      {"quotes inside a word",                                                R"(x"y z"w)",        {"xy zw"}                                  },
      {"two quotes alone give an empty argument",                             R"("")",             {""}                                       },
      {"empty argument between others",                                       R"(a "" b)",         {"a", "", "b"}                             },
      {"quoted tab",                                                          "\"a\tb\"",          {"a\tb"}                                   },
      {"unterminated quote runs to the end",                                  R"(a "b c)",         {"a", "b c"}                               },
      {"backslashes alone are literal",
       R"(C:\dir\file.ini \\server\share)",                                                        {R"(C:\dir\file.ini)", R"(\\server\share)"}},
      {"trailing backslashes are literal",                                    R"(dir\ dir\\)",     {R"(dir\)", R"(dir\\)"}                    },
      {"one backslash before a quote: literal quote",                         R"(a\"b)",           {R"(a"b)"}                                 },
      {"two backslashes before a quote: one backslash, quote toggles",
       R"("a\\" b)",                                                                               {R"(a\)", "b"}                             },
      {"three backslashes before a quote: one backslash and a literal quote",
       R"(a\\\"b)",                                                                                {R"(a\"b)"}                                },
      {"four backslashes before a quote",                                     R"("a\\\\" b)",      {R"(a\\)", "b"}                            },
      {"escaped quote inside quotes",                                         R"("say \"hi\"" x)", {R"(say "hi")", "x"}                       },
      {"toggling pair inside quotes closes and reopens",                      R"("a""b")",         {"ab"}                                     },
      {"other characters are kept",
       "*.ini ?x %PATH% $HOME ;|&",                                                                {"*.ini", "?x", "%PATH%", "$HOME", ";|&"}  },
      {"newline is not a separator",                                          "a\nb",              {"a\nb"}                                   },
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SplitCommandLine(c.text), c.args);
  }
}

}  // namespace
}  // namespace mox
