// Tables on a copy: structured references, fresh names and ids, and what stays refused.
#include "server/ooxml/tables.h"

#include <gtest/gtest.h>

#include <tuple>

#include "fixtures.h"
#include "server/application.h"

namespace orv::ooxml {
namespace {

using test::sheetPartOf;
using test::zipPart;

struct RefCase {
  const char* label;
  const char* formula;
  const char* expected;
};

void PrintTo(const RefCase& c, std::ostream* os) { *os << c.label; }

class TableRefs : public ::testing::TestWithParam<RefCase> {};

// The source's table "Sales" became "Sales4"; "Rates" is a table of another sheet.
TEST_P(TableRefs, OnlyReferencesToTheSourcesTablesFollowTheCopy) {
  TableRenames renames;
  renames.add("Sales", "Sales4");
  EXPECT_EQ(renameTableRefs(GetParam().formula, renames), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formulas, TableRefs,
    ::testing::Values(
        RefCase{"Column", "SUM(Sales[Amount])", "SUM(Sales4[Amount])"},
        RefCase{"ThisRow", "Sales[[#This Row],[Qty]]*2", "Sales4[[#This Row],[Qty]]*2"},
        RefCase{"All", "ROWS(Sales[#All])", "ROWS(Sales4[#All])"},
        RefCase{"Empty", "COUNT(Sales[])", "COUNT(Sales4[])"},
        RefCase{"Bare", "SUM(Sales)+1", "SUM(Sales4)+1"},
        RefCase{"IgnoringCase", "sales[Qty]+SALES[Qty]", "Sales4[Qty]+Sales4[Qty]"},
        RefCase{"ColumnRange", "SUM(Sales[[Qty]:[Price]])", "SUM(Sales4[[Qty]:[Price]])"},
        RefCase{"EscapedBracketInColumn", "Sales[Size '[cm']]+Sales[Qty]",
                "Sales4[Size '[cm']]+Sales4[Qty]"},
        RefCase{"OtherTable", "Rates[Rate]*Sales2[Qty]", "Rates[Rate]*Sales2[Qty]"},
        RefCase{"StringLiteral", "\"Sales[Qty]\"&Sales[Qty]", "\"Sales[Qty]\"&Sales4[Qty]"},
        RefCase{"SheetScopedName", "Sales!Sales+'Sales'!A1", "Sales!Sales+'Sales'!A1"},
        RefCase{"OtherBook", "[1]!Sales[Qty]+[1]Sales!A1", "[1]!Sales[Qty]+[1]Sales!A1"},
        RefCase{"Function", "Sales(1)", "Sales(1)"},
        RefCase{"ThreeDRange", "SUM(Sales:Other!A1)", "SUM(Sales:Other!A1)"},
        RefCase{"RowShorthand", "[@Qty]*[@Price]", "[@Qty]*[@Price]"},
        RefCase{"Unbalanced", "Sales[Qty", "Sales[Qty"}),
    [](const auto& info) { return std::string(info.param.label); });

struct NameCase {
  const char* label;
  std::vector<std::string> used;  // table and defined names in the workbook
  const char* source;
  std::vector<std::string> expected;  // three names in a row
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class FreshTableName : public ::testing::TestWithParam<NameCase> {};

TEST_P(FreshTableName, AppendsTheSmallestFreeNumber) {
  TableRegistry registry;
  for (const std::string& name : GetParam().used) registry.addName(name);
  for (const std::string& expected : GetParam().expected)
    EXPECT_EQ(registry.freshName(GetParam().source), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FreshTableName,
    ::testing::Values(
        NameCase{"Plain", {"Sales"}, "Sales", {"Sales2", "Sales3", "Sales4"}},
        NameCase{"SkipsTablesAndNamesIgnoringCase",
                 {"Sales", "SALES2", "sales4"},
                 "Sales",
                 {"Sales3", "Sales5", "Sales6"}},
        NameCase{"NumberedSource", {"Table1"}, "Table1", {"Table12", "Table13", "Table14"}},
        NameCase{"NonAscii", {"Ümsatz", "ümsatz2"}, "Ümsatz", {"Ümsatz3", "Ümsatz4", "Ümsatz5"}},
        NameCase{"WouldReadAsACell", {"AB"}, "AB", {"AB_2", "AB_3", "AB_4"}},
        NameCase{"WouldReadAsR1C1", {"R"}, "R", {"R_2", "R_3", "R_4"}}),
    [](const auto& info) { return std::string(info.param.label); });

// A table filled by a query keeps its query: each copy's table links a query table part of its
// own, which refreshes through a duplicate of the connection under a fresh id and name.
TEST(TableCopy, TableLinkedToAQueryTableGetsItsOwnQueryTableAndConnection) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writeTableWorkbook(path);
  const std::string rels =
      "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/"
      "2006/relationships\"><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
      "officeDocument/2006/relationships/";
  std::string workbookRels = zipPart(path, "xl/_rels/workbook.xml.rels");
  workbookRels.insert(
      workbookRels.find("</Relationships>"),
      "<Relationship Id=\"rId99\" Type=\"http://schemas.openxmlformats.org/"
      "officeDocument/2006/relationships/connections\" Target=\"connections.xml\"/>");
  std::string table = zipPart(path, "xl/tables/table1.xml");
  table.insert(table.find("<table ") + 7, "tableType=\"queryTable\" connectionId=\"1\" ");
  test::patchZip(
      path,
      {{"xl/_rels/workbook.xml.rels", workbookRels},
       {"xl/tables/table1.xml", table},
       {"xl/tables/_rels/table1.xml.rels",
        rels + "queryTable\" Target=\"../queryTables/queryTable1.xml\"/></Relationships>"},
       {"xl/queryTables/queryTable1.xml", "<queryTable name=\"Data\" connectionId=\"1\"/>"},
       {"xl/connections.xml",
        "<connections><connection id=\"1\" name=\"Data\" type=\"1\"><dbPr command=\"SELECT 1\"/>"
        "</connection><connection id=\"7\" name=\"data2\" type=\"1\"/></connections>"}});
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item(1).copy(book.sheets().item(1));
  book.sheets().item(1).copy(book.sheets().item(1));
  book.save();
  const std::string connections = zipPart(path, "xl/connections.xml");
  for (const auto& [copy, id, name] :
       {std::tuple{"Data (2)", "8", "Data1"}, std::tuple{"Data (3)", "9", "Data3"}}) {
    const std::string link = std::string("connectionId=\"") + id + "\"";
    const std::string copyTable = test::relatedPart(path, sheetPartOf(path, copy), "rId1");
    const std::string query = test::relatedPart(path, copyTable, "rId1");
    EXPECT_NE(query, "xl/queryTables/queryTable1.xml");
    EXPECT_NE(zipPart(path, copyTable).find(link), std::string::npos) << copy;
    EXPECT_NE(zipPart(path, query).find(link), std::string::npos) << copy;
    EXPECT_NE(connections.find(std::string("<connection id=\"") + id + "\" name=\"" + name +
                               "\" type=\"1\"><dbPr command=\"SELECT 1\"/>"),
              std::string::npos)
        << connections;
  }
  EXPECT_NE(zipPart(path, "xl/queryTables/queryTable1.xml").find("connectionId=\"1\""),
            std::string::npos);
}

}  // namespace
}  // namespace orv::ooxml
