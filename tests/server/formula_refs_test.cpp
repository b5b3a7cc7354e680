#include "server/ooxml/a1_references.h"

#include <gtest/gtest.h>

#include <string>

namespace orv {
namespace {

struct RetargetCase {
  const char* label;
  const char* formula;
  const char* from;
  const char* to;
  RetargetMode mode;
  const char* expected;
};

void PrintTo(const RetargetCase& c, std::ostream* os) { *os << c.label; }

class RetargetTest : public ::testing::TestWithParam<RetargetCase> {};

TEST_P(RetargetTest, RewritesOnlyReferencesToTheSheet) {
  const RetargetCase& c = GetParam();
  EXPECT_EQ(retargetSheetRefs(c.formula, c.from, c.to, c.mode), c.expected);
  // The engine asks refersToSheet first and skips the rewrite when it says no, so the two must
  // agree on every formula.
  const bool changed = std::string(c.expected) != c.formula;
  EXPECT_EQ(refersToSheet(c.formula, c.from, c.mode), changed);
  if (c.mode == RetargetMode::Rename) {
    EXPECT_EQ(refersToSheet(c.formula, c.from), changed);
  }
}

constexpr auto Copy = RetargetMode::Copy;
constexpr auto Rename = RetargetMode::Rename;

INSTANTIATE_TEST_SUITE_P(
    PlainReferences, RetargetTest,
    ::testing::Values(
        RetargetCase{"cell", "Sheet1!A1", "Sheet1", "Copy", Copy, "Copy!A1"},
        RetargetCase{"several", "SUM(Sheet1!A1:B2)+Sheet1!$C$3*2", "Sheet1", "Sum", Copy,
                     "SUM(Sum!A1:B2)+Sum!$C$3*2"},
        RetargetCase{"case ignored", "sHEET1!A1", "Sheet1", "Copy", Copy, "Copy!A1"},
        RetargetCase{"unicode case ignored", "ÜBERSICHT!A1+übersicht!B1", "Übersicht", "Neu", Copy,
                     "Neu!A1+Neu!B1"},
        RetargetCase{"cyrillic", "Лист1!A1", "ЛИСТ1", "Лист2", Copy, "Лист2!A1"},
        RetargetCase{"other sheets", "Sheet10!A1+Sheet!A1+Sheet1.x!A1", "Sheet1", "Copy", Copy,
                     "Sheet10!A1+Sheet!A1+Sheet1.x!A1"},
        RetargetCase{"dotted name", "Sheet.1!A1", "sheet.1", "B", Copy, "B!A1"},
        RetargetCase{"whole column and row", "SUM(Sheet1!A:A,Sheet1!$1:$3)", "Sheet1", "T", Copy,
                     "SUM(T!A:A,T!$1:$3)"},
        RetargetCase{"sheet-scoped name", "Sheet1!MyName*2", "Sheet1", "T", Copy, "T!MyName*2"},
        RetargetCase{"ref error after the sheet", "Sheet1!#REF!+1", "Sheet1", "T", Copy,
                     "T!#REF!+1"},
        RetargetCase{"both ends of a range", "Sheet1!A1:Sheet1!B2", "Sheet1", "T", Copy,
                     "T!A1:T!B2"},
        RetargetCase{"far end of a range only", "Other!A1:Sheet1!B2", "Sheet1", "T", Copy,
                     "Other!A1:T!B2"},
        RetargetCase{"range starting unqualified", "A1:Sheet1!B2", "Sheet1", "T", Copy, "A1:T!B2"},
        RetargetCase{"absolute range start", "$A$1:Sheet1!B2", "Sheet1", "T", Copy, "$A$1:T!B2"},
        RetargetCase{"union in a name", "Sheet1!$A$1:$B$2,Sheet1!$D:$D", "Sheet1", "T", Copy,
                     "T!$A$1:$B$2,T!$D:$D"},
        RetargetCase{"intersection and spacing kept", "Sheet1!A:A  Sheet1!1:1\n+ 1", "Sheet1", "T",
                     Copy, "T!A:A  T!1:1\n+ 1"},
        RetargetCase{"function prefix", "_xlfn.XLOOKUP(1,Sheet1!A:A,_xlws.SORT(Sheet1!B:B))",
                     "Sheet1", "T", Copy, "_xlfn.XLOOKUP(1,T!A:A,_xlws.SORT(T!B:B))"},
        RetargetCase{"spill reference", "SUM(Sheet1!A1#)", "Sheet1", "T", Copy, "SUM(T!A1#)"}));

INSTANTIATE_TEST_SUITE_P(
    Quoting, RetargetTest,
    ::testing::Values(
        RetargetCase{"quoted source, plain target", "'My Sheet'!A1", "my sheet", "Data", Copy,
                     "Data!A1"},
        RetargetCase{"plain source, quoted target", "Data!A1", "Data", "Data (2)", Copy,
                     "'Data (2)'!A1"},
        RetargetCase{"doubled apostrophes read", "'It''s'!A1+'It''s x'!A1", "It's", "Its", Copy,
                     "Its!A1+'It''s x'!A1"},
        RetargetCase{"apostrophes doubled when written", "S!A1", "S", "O'Brien", Copy,
                     "'O''Brien'!A1"},
        RetargetCase{"quoted though plain", "'Sheet1'!A1", "Sheet1", "T", Copy, "T!A1"},
        RetargetCase{"name starting with a digit", "'2019'!A1+2019", "2019", "2020", Copy,
                     "'2020'!A1+2019"},
        RetargetCase{"name like a cell", "'A1'!B2", "a1", "R1C1", Copy, "'R1C1'!B2"}));

INSTANTIATE_TEST_SUITE_P(
    LeftAlone, RetargetTest,
    ::testing::Values(
        RetargetCase{"string literal", "\"Sheet1!A1\"&Sheet1!A1", "Sheet1", "T", Copy,
                     "\"Sheet1!A1\"&T!A1"},
        RetargetCase{"doubled quotes in a literal", "\"say \"\"Sheet1!A1\"\"\"&1", "Sheet1", "T",
                     Copy, "\"say \"\"Sheet1!A1\"\"\"&1"},
        RetargetCase{"apostrophe in a literal", "\"it's\"&Sheet1!A1&\"'\"", "Sheet1", "T", Copy,
                     "\"it's\"&T!A1&\"'\""},
        RetargetCase{"external book", "[1]Sheet1!A1+Sheet1!A1", "Sheet1", "T", Copy,
                     "[1]Sheet1!A1+T!A1"},
        RetargetCase{"external book, quoted", "'[1]Sheet 1'!A1", "Sheet 1", "T", Rename,
                     "'[1]Sheet 1'!A1"},
        RetargetCase{"external book path", "'C:\\d\\[Book.xlsx]Sheet1'!A1", "Sheet1", "T", Rename,
                     "'C:\\d\\[Book.xlsx]Sheet1'!A1"},
        RetargetCase{"external 3-D range", "SUM([1]Sheet1:Sheet3!A1)", "Sheet1", "T", Rename,
                     "SUM([1]Sheet1:Sheet3!A1)"},
        RetargetCase{"external book name", "[1]!Sheet1+Sheet1!A1", "Sheet1", "T", Copy,
                     "[1]!Sheet1+T!A1"},
        RetargetCase{"structured reference", "SUM(Table1[[#This Row],[Sheet1!A1]])+Sheet1!A1",
                     "Sheet1", "T", Copy, "SUM(Table1[[#This Row],[Sheet1!A1]])+T!A1"},
        RetargetCase{"escaped bracket in a column", "Table1['[Sheet1!x']]&Sheet1!A1", "Sheet1", "T",
                     Copy, "Table1['[Sheet1!x']]&T!A1"},
        RetargetCase{"error constants", "IFERROR(#REF!,#N/A)+#DIV/0!+#NAME?", "REF", "T", Rename,
                     "IFERROR(#REF!,#N/A)+#DIV/0!+#NAME?"},
        RetargetCase{"array constant", "SUM({1,2;\"Sheet1!A1\",#N/A})*Sheet1!A1", "Sheet1", "T",
                     Copy, "SUM({1,2;\"Sheet1!A1\",#N/A})*T!A1"},
        RetargetCase{"name that only contains the sheet", "Sheet1x!A1+xSheet1!A1", "Sheet1", "T",
                     Rename, "Sheet1x!A1+xSheet1!A1"},
        RetargetCase{"unquoted digit start is no sheet", "2019!A1", "2019", "T", Rename, "2019!A1"},
        RetargetCase{"unquoted cell-like is no sheet", "A1!B2", "A1", "T", Rename, "A1!B2"},
        RetargetCase{"no bang at all", "SUM(A1:B2)", "A1", "T", Rename, "SUM(A1:B2)"}));

INSTANTIATE_TEST_SUITE_P(
    ThreeDRanges, RetargetTest,
    ::testing::Values(RetargetCase{"copy keeps end points", "SUM(Sheet1:Sheet3!A1)+Sheet1!A1",
                                   "Sheet1", "T", Copy, "SUM(Sheet1:Sheet3!A1)+T!A1"},
                      RetargetCase{"copy keeps quoted end points", "SUM('Sheet 1:Sheet 3'!A1)",
                                   "Sheet 1", "T", Copy, "SUM('Sheet 1:Sheet 3'!A1)"},
                      RetargetCase{"rename first end", "SUM(Sheet1:Sheet3!A1)", "sheet1", "New",
                                   Rename, "SUM(New:Sheet3!A1)"},
                      RetargetCase{"rename last end", "SUM(Sheet1:Sheet3!A1:B2)", "Sheet3", "New",
                                   Rename, "SUM(Sheet1:New!A1:B2)"},
                      RetargetCase{"rename quoted end", "SUM('Sheet 1:Sheet 3'!A1)", "Sheet 3", "X",
                                   Rename, "SUM('Sheet 1:X'!A1)"},
                      RetargetCase{"quotes added for both ends", "SUM(Sheet1:Sheet3!A1)", "Sheet3",
                                   "My Sheet", Rename, "SUM('Sheet1:My Sheet'!A1)"},
                      RetargetCase{"quotes dropped when not needed", "SUM('My Sheet:Sheet3'!A1)",
                                   "My Sheet", "Sheet2", Rename, "SUM(Sheet2:Sheet3!A1)"},
                      RetargetCase{"apostrophe in the other end", "SUM('It''s:B'!A1)", "B", "C1x",
                                   Rename, "SUM('It''s:C1x'!A1)"},
                      RetargetCase{"single letters", "'A:B'!A1", "A", "C", Rename, "'C:B'!A1"},
                      RetargetCase{"rename plain and 3-D", "Sheet1!A1+SUM(Sheet1:Sheet2!A1)",
                                   "Sheet1", "Z", Rename, "Z!A1+SUM(Z:Sheet2!A1)"}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, RetargetTest,
    ::testing::Values(RetargetCase{"unterminated string", "Sheet1!A1&\"abc", "Sheet1", "T", Rename,
                                   "Sheet1!A1&\"abc"},
                      RetargetCase{"unterminated quoted name", "Sheet1!A1+'Sheet1!A1", "Sheet1",
                                   "T", Rename, "Sheet1!A1+'Sheet1!A1"},
                      RetargetCase{"unbalanced bracket", "Sheet1!A1+Table1[Col", "Sheet1", "T",
                                   Rename, "Sheet1!A1+Table1[Col"},
                      RetargetCase{"lone bang and quote", "!'!", "Sheet1", "T", Rename, "!'!"},
                      RetargetCase{"quoted token without bang", "'x'Sheet1!A1", "Sheet1", "T",
                                   Rename, "'x'Sheet1!A1"},
                      RetargetCase{"empty", "", "Sheet1", "T", Rename, ""},
                      RetargetCase{"empty quoted name", "''!A1", "Sheet1", "T", Rename, "''!A1"},
                      RetargetCase{"truncated utf-8", "\xc3!A1+Sheet1!A1", "Sheet1", "T", Rename,
                                   "\xc3!A1+T!A1"}));

struct QuoteCase {
  const char* name;
  const char* written;
};

class FormulaSheetNameTest : public ::testing::TestWithParam<QuoteCase> {};

// Whatever formulaSheetName writes, the tokenizer must read back as that same sheet.
TEST_P(FormulaSheetNameTest, QuotesOnlyWhenNeededAndReadsBack) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(formulaSheetName(c.name), c.written);
  const std::string formula = "SUM(Src!A1:B2)*Src!C3";
  const std::string there = retargetSheetRefs(formula, "Src", c.name, RetargetMode::Copy);
  EXPECT_EQ(there, "SUM(" + std::string(c.written) + "!A1:B2)*" + c.written + "!C3");
  EXPECT_TRUE(refersToSheet(there, c.name));
  EXPECT_EQ(retargetSheetRefs(there, c.name, "Src", RetargetMode::Copy), formula);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FormulaSheetNameTest,
    ::testing::Values(QuoteCase{"Sheet1", "Sheet1"}, QuoteCase{"_x.y", "_x.y"},
                      QuoteCase{"Rates", "Rates"}, QuoteCase{"ABCD1", "ABCD1"},
                      QuoteCase{"Übersicht", "Übersicht"}, QuoteCase{"Лист1", "Лист1"},
                      QuoteCase{"表1", "表1"}, QuoteCase{"My Sheet", "'My Sheet'"},
                      QuoteCase{"It's", "'It''s'"}, QuoteCase{"''", "''''''"},
                      QuoteCase{"Data-2", "'Data-2'"}, QuoteCase{"Data (2)", "'Data (2)'"},
                      QuoteCase{"2019", "'2019'"}, QuoteCase{".x", "'.x'"}, QuoteCase{"A1", "'A1'"},
                      QuoteCase{"xfd1048576", "'xfd1048576'"}, QuoteCase{"R1C1", "'R1C1'"},
                      QuoteCase{"RC", "'RC'"}, QuoteCase{"r", "'r'"}, QuoteCase{"C12", "'C12'"},
                      QuoteCase{"TRUE", "'TRUE'"}, QuoteCase{"false", "'false'"},
                      QuoteCase{"€", "'€'"},
                      QuoteCase{"a\xc2\xa0"
                                "b",
                                "'a\xc2\xa0"
                                "b'"},
                      QuoteCase{"x!y", "'x!y'"}));

TEST(RetargetSheetRefsTest, SameNameInOtherCaseIsRewritten) {
  // A rename that only changes case still has to reach every formula.
  EXPECT_EQ(retargetSheetRefs("data!A1", "Data", "DATA", RetargetMode::Rename), "DATA!A1");
}

}  // namespace
}  // namespace orv
