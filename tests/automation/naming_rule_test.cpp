#include "automation/naming_rule.h"

#include <gtest/gtest.h>

#include "tests/test_names.h"

namespace orv {
namespace {

struct CandidateCase {
  const char* pattern;
  long number;
  const char* expected;
};

class CandidateNameTest : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(CandidateNameTest, ReplacesEveryPlaceholder) {
  const CandidateCase& c = GetParam();
  EXPECT_EQ(candidateName(c.pattern, c.number), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, CandidateNameTest,
    ::testing::Values(CandidateCase{"MySheet[x]", 3, "MySheet3"}, CandidateCase{"[x]", 12, "12"},
                      CandidateCase{"Copy [x] of [x]", 3, "Copy 3 of 3"},
                      CandidateCase{"[[x]]", 4, "[4]"}, CandidateCase{"Sheet[X]", 2, "Sheet[X]"},
                      CandidateCase{"Summary", 7, "Summary"}, CandidateCase{"", 1, ""},
                      CandidateCase{"[x[x]]", 5, "[x5]"}, CandidateCase{"[x]x]", 1, "1x]"}),
    [](const ::testing::TestParamInfo<CandidateCase>& info) {
      return orv::testnames::fromText(std::string(info.param.pattern) + " " +
                                      std::to_string(info.param.number));
    });

// The command line's patterns: what the window's rule does, and "[x:W]" pads the number.
// Anything else that starts like it stays text, for the pattern check to refuse.
TEST_P(CandidateNameTest, IsWhatTheCommandLineRuleGivesForWindowPatterns) {
  const CandidateCase& c = GetParam();
  EXPECT_EQ(numberedName(c.pattern, c.number), c.expected);
  EXPECT_FALSE(hasMalformedPadding(c.pattern));
}

TEST(NumberedNameTest, PadsToTheWidthAndNeverCuts) {
  const struct {
    const char* pattern;
    long number;
    const char* expected;
    bool malformed;
  } cases[] = {
      {"Day[x:3]", 7, "Day007", false}, {"[x:2]", 123, "123", false},
      {"[x:1]-[x]", 4, "4-4", false},   {"[x:9]", 1, "000000001", false},
      {"[x:0]", 5, "[x:0]", true},      {"[x:]", 5, "[x:]", true},
      {"[x:12]", 5, "[x:12]", true},    {"[x:3", 5, "[x:3", true},
      {"[x[x:2]]", 5, "[x05]", false},  {"[X:3]", 5, "[X:3]", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(numberedName(c.pattern, c.number), c.expected) << c.pattern;
    EXPECT_EQ(hasMalformedPadding(c.pattern), c.malformed) << c.pattern;
  }
  EXPECT_EQ(candidateName("Day[x:3]", 7), "Day[x:3]");  // the window's rule has no padding
}

TEST(SheetNameExistsTest, ComparesExactlyAndCaseSensitively) {
  const std::vector<std::string> items{"Data", "mysheet1", " Copy2", ""};
  EXPECT_TRUE(SheetNameExists(items, "Data"));
  EXPECT_FALSE(SheetNameExists(items, "MySheet1"));
  EXPECT_FALSE(SheetNameExists(items, "Copy2"));
  EXPECT_TRUE(SheetNameExists(items, ""));  // an empty item matches the empty candidate
  EXPECT_FALSE(SheetNameExists({}, "Data"));
  EXPECT_FALSE(SheetNameExists({}, ""));
}

TEST(CleanSheetNameTest, RemovesBracketsThenKeepsThirtyCharacters) {
  EXPECT_EQ(CleanSheetName("[4]"), "4");
  EXPECT_EQ(CleanSheetName("Sheet[X]"), "SheetX");
  EXPECT_EQ(CleanSheetName("a]b[c"), "abc");
  const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghi";  // 35 characters
  EXPECT_EQ(CleanSheetName(longName), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
  EXPECT_EQ(CleanSheetName(longName + "X"), CleanSheetName(longName + "Y"));
  // Thirty characters, not thirty bytes: a name of 31 two-byte letters keeps 30 of them.
  std::string umlauts;
  for (int i = 0; i < 31; ++i) umlauts += "\xC3\xA4";
  EXPECT_EQ(CleanSheetName(umlauts), umlauts.substr(0, 60));
  EXPECT_EQ(CleanSheetName(""), "");
}

// Characters outside the Basic Multilingual Plane count two, as the server counts them, and
// are never split: whatever the mix, the kept name fits the server's limit.
TEST(CleanSheetNameTest, CountsAstralCharactersAsTwoUnitsAndNeverSplitsThem) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
  auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    std::string name, kept;
  } cases[] = {
      {repeat(emoji, 15), repeat(emoji, 15)},
      {repeat(emoji, 16), repeat(emoji, 15)},
      {repeat(emoji, 40) + "[x]", repeat(emoji, 15)},
      {"a" + repeat(emoji, 16), "a" + repeat(emoji, 14)},  // the 15th pair would need 31 units
      {repeat("a", 29) + emoji, repeat("a", 29)},
      {repeat("a", 28) + emoji + "b", repeat("a", 28) + emoji},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanSheetName(c.name), c.kept) << c.name;
}

TEST(ConflictMessageTest, IsTheCandidateFollowedByTheAdvice) {
  EXPECT_EQ(conflictMessage("Summary"),
            "Summary already exists. Try using [x] or renaming the sheet name.");
}

}  // namespace
}  // namespace orv
