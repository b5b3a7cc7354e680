#include "server/sheet_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/server_error.h"

namespace orv {
namespace {

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// --- sameSheetName ---

struct SameCase {
  std::string a;
  std::string b;
  bool same;
};

class SameSheetNameTest : public ::testing::TestWithParam<SameCase> {};

TEST_P(SameSheetNameTest, FoldsCaseAndNothingElse) {
  const SameCase& c = GetParam();
  EXPECT_EQ(sameSheetName(c.a, c.b), c.same) << c.a << " vs " << c.b;
  EXPECT_EQ(sameSheetName(c.b, c.a), c.same) << c.b << " vs " << c.a;
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SameSheetNameTest,
    ::testing::Values(SameCase{"Data", "dATA", true}, SameCase{"Data", "Data ", false},
                      SameCase{"Data", "Dat", false}, SameCase{"", "", true},
                      SameCase{"a", "", false}, SameCase{"ÄRGER", "ärger", true},
                      SameCase{"ЛИСТ1", "лист1", true}, SameCase{"ΣΙΣΥΦΟΣ", "σισυφος", true},
                      SameCase{"Ａ", "ａ", true},
                      // Kelvin sign folds to an ASCII k: byte lengths differ.
                      SameCase{"\u212A1", "k1", true},
                      // Simple folding: one character never becomes two.
                      SameCase{"Straße", "STRASSE", false},
                      SameCase{"\u0130", "i", false},  // dotted capital I: Turkic-only folding
                      SameCase{"e\u0301", "\u00e9", false},  // no normalisation
                      SameCase{"\xff", "\xff", true}, SameCase{"\xff", "\xfe", false},
                      SameCase{"\xc3", "\xc3\xa4", false}, SameCase{"a\xc3", "A\xc3", true}));

// --- validateSheetName ---

TEST(ValidateSheetNameTest, AcceptsWhatASpreadsheetApplicationAccepts) {
  for (const std::string& name :
       {std::string("Data"), repeat("a", 31), repeat("ä", 31), repeat("😀", 15) + "x",
        std::string("O'Brien"), std::string("History 2"), std::string("a-b (2) & c!#$%")}) {
    EXPECT_NO_THROW(validateSheetName(name, {"Sheet1", "Data "})) << name;
  }
}

struct RefusalCase {
  const char* label;
  std::string name;
  std::vector<std::string> others;
  std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.label; }

class ValidateSheetNameTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ValidateSheetNameTest, RefusesWithTheReason) {
  const RefusalCase& c = GetParam();
  try {
    validateSheetName(c.name, c.others);
    ADD_FAILURE() << "accepted " << c.name;
  } catch (const ServerError& e) {
    EXPECT_EQ(e.what(), c.message);
  }
}

std::string forbidden(const std::string& name, char c) {
  return "The sheet name '" + name + "' contains the character '" + c +
         "', which sheet names cannot hold.";
}

std::string tooLong(const std::string& name) {
  return "The sheet name '" + name +
         "' is 32 characters long; a sheet name can hold at most 31 characters.";
}

const std::string kNotUtf8 = "The sheet name is not valid text: it holds bytes that are not UTF-8.";
const std::string kApostrophe =
    "' begins or ends with an apostrophe ('), which sheet names cannot do.";
const std::string kDuplicate = "'; sheet names must differ by more than upper and lower case.";

INSTANTIATE_TEST_SUITE_P(
    Refused, ValidateSheetNameTest,
    ::testing::Values(
        RefusalCase{"empty", "", {}, "A sheet name cannot be empty."},
        RefusalCase{"32 characters", repeat("a", 32), {}, tooLong(repeat("a", 32))},
        RefusalCase{"16 emoji count as 32", repeat("😀", 16), {}, tooLong(repeat("😀", 16))},
        RefusalCase{"slash", "A/B", {}, forbidden("A/B", '/')},
        RefusalCase{"colon", "a:b", {}, forbidden("a:b", ':')},
        RefusalCase{"backslash", "a\\b", {}, forbidden("a\\b", '\\')},
        RefusalCase{"question mark", "a?", {}, forbidden("a?", '?')},
        RefusalCase{"asterisk", "*", {}, forbidden("*", '*')},
        RefusalCase{"brackets", "[x]", {}, forbidden("[x]", '[')},
        RefusalCase{"closing bracket", "x]", {}, forbidden("x]", ']')},
        RefusalCase{"tab",
                    "a\tb",
                    {},
                    "The sheet name 'a\tb' contains a control character, which sheet names "
                    "cannot hold."},
        RefusalCase{"apostrophe first", "'abc", {}, "The sheet name ''abc" + kApostrophe},
        RefusalCase{"apostrophe last", "abc'", {}, "The sheet name 'abc'" + kApostrophe},
        RefusalCase{"History",
                    "hiSTORY",
                    {},
                    "The sheet name 'hiSTORY' is reserved by spreadsheet applications and cannot "
                    "name a sheet."},
        RefusalCase{"duplicate ignoring case",
                    "data",
                    {"Sheet1", "Data"},
                    "The workbook already has a sheet named 'Data" + kDuplicate},
        RefusalCase{"duplicate by unicode folding",
                    "ÄRGER",
                    {"ärger"},
                    "The workbook already has a sheet named 'ärger" + kDuplicate},
        RefusalCase{"invalid utf-8", "ab\xff", {}, kNotUtf8},
        RefusalCase{"utf-16 surrogate in utf-8", "\xed\xa0\x80", {}, kNotUtf8}));

// --- automaticCopyName ---

struct CopyNameCase {
  const char* label;
  std::string source;
  std::vector<std::string> existing;
  std::string expected;
};

void PrintTo(const CopyNameCase& c, std::ostream* os) { *os << c.label; }

class AutomaticCopyNameTest : public ::testing::TestWithParam<CopyNameCase> {};

TEST_P(AutomaticCopyNameTest, TakesTheNextFreeNumberAndFits) {
  const CopyNameCase& c = GetParam();
  const std::string name = automaticCopyName(c.source, c.existing);
  EXPECT_EQ(name, c.expected);
  // Whatever it makes, the engine must be able to give that name to the copy.
  EXPECT_NO_THROW(validateSheetName(name, c.existing));
}

INSTANTIATE_TEST_SUITE_P(
    Numbering, AutomaticCopyNameTest,
    ::testing::Values(
        CopyNameCase{"first copy", "Data", {"Data"}, "Data (2)"},
        CopyNameCase{"next free", "Data", {"Data", "Data (2)"}, "Data (3)"},
        CopyNameCase{"taken ignoring case", "Data", {"Data", "DATA (2)", "data (3)"}, "Data (4)"},
        CopyNameCase{"gap is reused", "Data", {"Data", "Data (3)"}, "Data (2)"},
        CopyNameCase{"copy of a copy", "Data (2)", {"Data", "Data (2)"}, "Data (3)"},
        CopyNameCase{
            "copy of a copy, next free", "Data (2)", {"Data", "Data (2)", "Data (3)"}, "Data (4)"},
        CopyNameCase{
            "numbering goes on from the source", "Data (5)", {"Data", "Data (5)"}, "Data (6)"},
        CopyNameCase{"copy of a first copy", "Data (1)", {"Data (1)"}, "Data (2)"},
        CopyNameCase{"not a copy number: zero", "Data (0)", {"Data (0)"}, "Data (0) (2)"},
        CopyNameCase{
            "not a copy number: leading zero", "Data (02)", {"Data (02)"}, "Data (02) (2)"},
        CopyNameCase{"not a copy number: no space", "Data(2)", {"Data(2)"}, "Data(2) (2)"},
        CopyNameCase{"not a copy number: word", "Data (x)", {"Data (x)"}, "Data (x) (2)"},
        CopyNameCase{"other names ending in a number",
                     "Data",
                     {"Data", "Other (2)", "Data (02)"},
                     "Data (2)"},
        CopyNameCase{"unicode case", "Ärger", {"Ärger", "ÄRGER (2)"}, "Ärger (3)"}));

std::vector<std::string> numbered(const std::string& base, int from, int to) {
  std::vector<std::string> names{base};
  for (int n = from; n <= to; ++n) names.push_back(base + " (" + std::to_string(n) + ")");
  return names;
}

INSTANTIATE_TEST_SUITE_P(
    Shortening, AutomaticCopyNameTest,
    ::testing::Values(
        CopyNameCase{"27 fit", repeat("a", 27), {}, repeat("a", 27) + " (2)"},
        CopyNameCase{"31 shortened", repeat("a", 31), {}, repeat("a", 27) + " (2)"},
        CopyNameCase{
            "two-byte characters kept whole", repeat("ä", 31), {}, repeat("ä", 27) + " (2)"},
        CopyNameCase{"emoji never split", repeat("😀", 15) + "x", {}, repeat("😀", 13) + " (2)"},
        CopyNameCase{"shorter again at two digits", repeat("b", 27),
                     numbered(repeat("b", 27), 2, 9), repeat("b", 26) + " (10)"},
        CopyNameCase{"copy of a shortened copy",
                     repeat("b", 26) + " (10)",
                     {repeat("b", 26) + " (10)"},
                     repeat("b", 26) + " (11)"},
        CopyNameCase{"shortened names are the taken ones",
                     repeat("c", 31),
                     {repeat("c", 31), repeat("c", 27) + " (2)"},
                     repeat("c", 27) + " (3)"}));

}  // namespace
}  // namespace orv
