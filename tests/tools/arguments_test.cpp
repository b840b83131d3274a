// Numeric options are parsed whole and in range; a wrong one is named before any work starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "tools/arguments.h"
#include "tools/subcommands.h"

namespace {

TEST(Arguments, NumbersAreWholeAndInRange) {
  EXPECT_EQ(kivo::tool::countArgument("--n", "0", 0, 5), 0u);
  EXPECT_EQ(kivo::tool::countArgument("--n", "5", 0, 5), 5u);
  EXPECT_EQ(kivo::tool::numberArgument("--x", "-2.5"), -2.5);
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "6", "22xyz", "1.5", "18446744073709551616"})
    EXPECT_THROW(kivo::tool::countArgument("--n", bad, 0, 5), std::invalid_argument) << bad;
  for (const char* bad : {"", "nan", "inf", "-inf", "22xyz", "1e999", "x"})
    EXPECT_THROW(kivo::tool::numberArgument("--x", bad), std::invalid_argument) << bad;
}

TEST(Arguments, CommandsNameTheWrongArgument) {
  kivo::test::TempDir dir;
  const std::string folder = dir.path().string();
  struct Case {
    int (*command)(std::span<char*>);
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {kivo::tool::runEval, {folder, "--excerpts", "-1"}, "kivo eval: --excerpts needs a whole number from 1 to 1000000, not '-1'\n"},
      {kivo::tool::runEval, {folder, "--references", "x"}, "kivo eval: --references needs a whole number from 1 to 2147483647, not 'x'\n"},
      {kivo::tool::runEval, {folder, "--unknown", "3k"}, "kivo eval: --unknown needs a whole number from 0 to 1000000, not '3k'\n"},
      {kivo::tool::runEval, {folder, "--plot", folder + "/none/x.svg"},
       "kivo eval: --plot: cannot write " + folder + "/none/x.svg: No such file or directory\n"},
      {kivo::tool::runMatch, {"--pack", "p.pack", "--limit", "22xyz", "q.wav"}, "kivo match: --limit needs a number, not '22xyz'\n"},
      {kivo::tool::runMatch, {"--pack", "p.pack", "--limit", "nan", "q.wav"}, "kivo match: --limit needs a number, not 'nan'\n"},
  };
  for (auto& c : cases) {
    std::vector<char*> argv;
    for (auto& a : c.args) argv.push_back(a.data());
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.command(argv), 2) << c.message;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  }
}

}  // namespace
