#include <gtest/gtest.h>

#include "ui/CommandLine.h"

namespace {
std::vector<std::pair<std::string, bool>> Named(const TCommandLine& line) {
  std::vector<std::pair<std::string, bool>> names;
  for (const auto& s : line.CommandSessions) names.emplace_back(s.SessionName, s.Force);
  return names;
}
}  // namespace

TEST(CommandLine, OptionsFoldCaseButMustBeWholeArguments) {
  const TCommandLine line = ReadCommandLine({"/EXIT", "/Start", "/hIDE", "/LoG"});
  EXPECT_TRUE(line.ExitWhenIdle);
  EXPECT_TRUE(line.StartOnLaunch);
  EXPECT_TRUE(line.StartHidden);
  EXPECT_TRUE(line.LogEnabled);
  EXPECT_TRUE(line.CommandSessions.empty());

  const TCommandLine near = ReadCommandLine({"-exit", "/exit ", "/exits", "\\start", "exit"});
  EXPECT_FALSE(near.ExitWhenIdle);
  EXPECT_FALSE(near.StartOnLaunch);
  EXPECT_EQ(Named(near),
            (std::vector<std::pair<std::string, bool>>{
                {"-exit", false}, {"/exit ", false}, {"/exits", false}, {"\\start", false}, {"exit", false}}));
}

TEST(CommandLine, ForceQualifiesOnlyTheNameBeforeIt) {
  EXPECT_EQ(Named(ReadCommandLine({"BACKUP", "/FORCE"})),
            (std::vector<std::pair<std::string, bool>>{{"BACKUP", true}}));
  EXPECT_EQ(Named(ReadCommandLine({"/force", "Backup"})),
            (std::vector<std::pair<std::string, bool>>{{"Backup", false}}));
  EXPECT_EQ(Named(ReadCommandLine({"A", "B", "/force"})),
            (std::vector<std::pair<std::string, bool>>{{"A", false}, {"B", true}}));
  EXPECT_EQ(Named(ReadCommandLine({"A", "/exit", "/force"})), (std::vector<std::pair<std::string, bool>>{{"A", false}}))
      << "only the very next argument counts";
  EXPECT_TRUE(ReadCommandLine({}).CommandSessions.empty());
  EXPECT_EQ(Named(ReadCommandLine({"Ünïcode name", ""})),
            (std::vector<std::pair<std::string, bool>>{{"Ünïcode name", false}, {"", false}}));
}
