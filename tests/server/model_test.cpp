// The object model over the Open XML engine: lookup, sheet kinds, renaming and refusals.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "server/application.h"

namespace orv {
namespace {

using test::sheetPartOf;
using test::zipPart;

constexpr const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

// The object model over every engine: each test runs once per row of test::kEngines, on the
// row's workbook ("Data" and "Other" worksheets, then the chart sheet "Summary"; "Data" active).
class EngineModel : public ::testing::TestWithParam<test::EngineRow> {
 protected:
  void SetUp() override {
    path_ = dir_.file(std::string("Book") + GetParam().extension);
    GetParam().writeBook(path_);
  }
  Workbook& open() { return app_->workbooks().open(path_); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<Application> app_ = createApplication();
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineModel, ::testing::ValuesIn(test::kEngines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(EngineModel, LookupByNameIgnoresCaseAndUnknownNamesAndIndexesFail) {
  Workbook& book = open();
  EXPECT_EQ(app_->workbooks().count(), 1);
  EXPECT_EQ(&app_->workbooks().item(1), &book);
  EXPECT_THROW(app_->workbooks().item(2), ServerError);
  EXPECT_EQ(book.sheets().item("OTHER").name(), "Other");
  const bool chartSheet = GetParam().chartSheets;
  EXPECT_EQ(book.sheets().item("summary").kind(),
            chartSheet ? SheetKind::Chartsheet : SheetKind::Worksheet);
  EXPECT_THROW(book.sheets().item("Missing"), ServerError);
  if (chartSheet) {
    EXPECT_THROW(book.worksheets().item("Summary"), ServerError);  // not a worksheet
  }
  EXPECT_THROW(book.sheets().item(0), ServerError);
  EXPECT_THROW(book.sheets().item(4), ServerError);
  EXPECT_EQ(book.worksheets().item(2).name(), "Other");
  EXPECT_THROW(book.worksheets().item(0), ServerError);
  // Three sheets, two of them worksheets where the format has chart sheets.
  EXPECT_THROW(book.worksheets().item(chartSheet ? 3 : 4), ServerError);
  EXPECT_EQ(book.activeSheet().name(), "Data");
}

TEST_P(EngineModel, CopyAfterASheetOfAnotherWorkbookFails) {
  Workbook& a = open();
  Workbook& b = open();
  EXPECT_THROW(a.sheets().item(1).copy(b.sheets().item(1)), ServerError);
  EXPECT_EQ(a.sheets().count(), 3);
}

TEST_P(EngineModel, ChangingOnlyTheCaseOfANameIsAllowed) {
  Workbook& book = open();
  book.sheets().item("Data").copy(book.sheets().item(3));
  book.activeSheet().setName("DATA (2)");
  EXPECT_EQ(book.activeSheet().name(), "DATA (2)");
}

TEST_P(EngineModel, CopiesAndNamesAreReadBackAfterTheSave) {
  Workbook& book = open();
  book.sheets().item("Data").copy(book.sheets().item(3));
  book.activeSheet().setName("Report");
  book.sheets().item("Data").copy(book.sheets().item(4));
  book.save();
  app_->quit();

  auto again = createApplication();
  Workbook& saved = again->workbooks().open(path_);
  std::vector<std::string> names;
  for (int i = 1; i <= saved.sheets().count(); ++i) names.push_back(saved.sheets().item(i).name());
  EXPECT_EQ(names, (std::vector<std::string>{"Data", "Other", "Summary", "Report", "Data (2)"}));
  EXPECT_EQ(saved.worksheets().count(), GetParam().chartSheets ? 4 : 5);
  EXPECT_EQ(saved.sheets().item("Report").kind(), SheetKind::Worksheet);
}

// The Open XML engine's own parts, read back from the saved package.
class Model : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("Book.xlsx");
    test::writeRichWorkbook(path_);
  }
  Workbook& open() { return app_->workbooks().open(path_); }
  std::string part(const std::string& name) { return zipPart(path_, name); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<Application> app_ = createApplication();
};

struct KindCase {
  const char* label;
  const char* relType;
  const char* contentType;
  SheetKind kind;
  const char* part = nullptr;  // the sheet part's text, when it is not a worksheet's
};

class Kinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(Kinds, OnlyWorksheetsAreWorksheets) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  std::string rels = zipPart(path, "xl/_rels/workbook.xml.rels");
  std::string types = zipPart(path, "[Content_Types].xml");
  const std::string worksheet = std::string(kRel) + "worksheet\" Target=\"worksheets/sheet2.xml";
  const std::string type =
      "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
  ASSERT_NE(rels.find(worksheet), std::string::npos);
  rels.replace(rels.find(worksheet), worksheet.size(),
               std::string(GetParam().relType) + "\" Target=\"worksheets/sheet2.xml");
  const std::string sheet2 = "<Override PartName=\"/xl/worksheets/sheet2.xml\" ContentType=\"";
  size_t at = types.find(sheet2);
  ASSERT_NE(at, std::string::npos);
  types.replace(at + sheet2.size(), type.size(), std::string(GetParam().contentType) + "\"/>");
  std::map<std::string, std::string> parts = {{"xl/_rels/workbook.xml.rels", rels},
                                              {"[Content_Types].xml", types}};
  if (GetParam().part) parts["xl/worksheets/sheet2.xml"] = GetParam().part;
  test::patchZip(path, parts);

  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  EXPECT_EQ(book.sheets().count(), 2);
  EXPECT_EQ(book.worksheets().count(), 1);
  EXPECT_EQ(book.sheets().item("Other").kind(), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Sheets, Kinds,
    ::testing::Values(
        KindCase{"Dialog",
                 "http://schemas.openxmlformats.org/officeDocument/2006/relationships/dialogsheet",
                 "application/vnd.openxmlformats-officedocument.spreadsheetml.dialogsheet+xml",
                 SheetKind::Dialogsheet},
        KindCase{"DialogLinkedAsWorksheet",
                 "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet",
                 "application/vnd.openxmlformats-officedocument.spreadsheetml.dialogsheet+xml",
                 SheetKind::Dialogsheet},
        KindCase{"Macro", "http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet",
                 "application/vnd.ms-excel.macrosheet+xml", SheetKind::Macrosheet},
        KindCase{
            "DialogInAWorksheetPart",
            "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet",
            "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml",
            SheetKind::Dialogsheet,
            "<?xml version=\"1.0\"?>\r\n<dialogsheet xmlns=\"http://schemas.openxmlformats.org/"
            "spreadsheetml/2006/main\"><sheetPr/></dialogsheet>"},
        KindCase{
            "MacroInAWorksheetPart",
            "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet",
            "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml",
            SheetKind::Macrosheet,
            "<xm:macrosheet xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\"/>"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Model, RenamedCopyIsNamedEverywhereItIsReferenced) {
  Workbook& book = open();
  book.sheets().item("Data").copy(book.sheets().item(3));
  book.activeSheet().setName("Report");
  EXPECT_EQ(book.sheets().item(4).name(), "Report");
  book.save();
  const std::string sheet = part(sheetPartOf(path_, "Report"));
  EXPECT_NE(sheet.find("<f>Report!B2*2</f>"), std::string::npos);
  EXPECT_NE(sheet.find("CONCATENATE(\"Data!B2\",Report!B4)"), std::string::npos);
  EXPECT_EQ(sheet.find("Data (2)"), std::string::npos);
  const std::string workbook = part("xl/workbook.xml");
  EXPECT_NE(workbook.find(">Report!$A$1:$D$20<"), std::string::npos);
  EXPECT_EQ(workbook.find("Data (2)"), std::string::npos);
  EXPECT_NE(part("docProps/app.xml").find(">Report<"), std::string::npos);
  // The copy's chart plots the renamed copy.
  bool chartFound = false;
  for (const auto& e : test::readZip(path_))
    if (e.name.find("charts/chart") != std::string::npos &&
        e.data.find("Report!$B$2:$B$5") != std::string::npos)
      chartFound = true;
  EXPECT_TRUE(chartFound);
  ORV_NEEDS_ORACLE();
  auto result = test::inspectWithOpenpyxl({"compare", path_, "Data", "Report"});
  EXPECT_TRUE(result.ok) << result.output;
}

TEST_F(Model, RenamingASheetThatWasThereUpdatesTheWholeWorkbook) {
  Workbook& book = open();
  book.sheets().item("Other").setName("Else Where");
  book.save();
  const std::string data = part("xl/worksheets/sheet1.xml");
  EXPECT_NE(data.find("'Data'!B3+'Else Where'!A1"), std::string::npos);
  EXPECT_NE(data.find("'Else Where'!$A$1:$A$3"), std::string::npos);         // validation
  EXPECT_NE(data.find("Data!$B2&gt;'Else Where'!$A$1"), std::string::npos);  // formatting rule
  // Hyperlink locations are text, not formulas: a spreadsheet application leaves them too.
  const size_t stale = data.find("Other!");
  EXPECT_EQ(data.find("Other!", data.find("location=\"Other!A1\" display=\"Other!A1\"") + 40),
            std::string::npos)
      << data.substr(stale == std::string::npos ? 0 : stale - 120, 200);
  EXPECT_NE(part("xl/workbook.xml").find(">'Else Where'!$A$1<"), std::string::npos);
}

TEST_F(Model, RenamingTheSourceAfterACopyLeavesTheCopyNamingItself) {
  Workbook& book = open();
  book.sheets().item("Data").copy(book.sheets().item(3));
  book.sheets().item("Data").setName("Base");
  book.save();
  EXPECT_NE(part(sheetPartOf(path_, "Data (2)")).find("<f>'Data (2)'!B2*2</f>"), std::string::npos);
  EXPECT_NE(part(sheetPartOf(path_, "Base")).find("<f>Base!B2*2</f>"), std::string::npos);
}

class BadName : public ::testing::TestWithParam<std::string> {};

TEST_P(BadName, IsRefusedAndNothingChanges) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item("Data").copy(book.sheets().item(2));
  EXPECT_THROW(book.activeSheet().setName(GetParam()), ServerError);
  EXPECT_EQ(book.activeSheet().name(), "Data (2)");
  book.save();
  EXPECT_NE(zipPart(path, sheetPartOf(path, "Data (2)")).find("'Data (2)'!A2+Other!A1"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Names, BadName,
                         ::testing::Values("", std::string(32, 'x'), "a:b", "a/b", "a\\b", "a?b",
                                           "a*b", "a[b", "a]b", "'ab", "ab'", "history", "other",
                                           "DATA"));

struct Feature {
  const char* label;
  const char* relType;  // a relationship of the source sheet
  const char* words;    // the message names the feature so
};

class Unsupported : public ::testing::TestWithParam<Feature> {};

TEST_P(Unsupported, CopyIsRefusedNamingTheFeatureAndTheFileIsUntouched) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  test::patchZip(
      path, {{"xl/worksheets/_rels/sheet1.xml.rels",
              "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/"
              "package/2006/relationships\"><Relationship Id=\"rId1\" Type=\"" +
                  std::string(GetParam().relType) +
                  "\" Target=\"../feature/part1.xml\"/></Relationships>"},
             {"xl/feature/part1.xml", "<part/>"}});
  const std::string before = test::readFile(path);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  try {
    book.sheets().item("Data").copy(book.sheets().item(2));
    FAIL() << "copied";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().words), std::string::npos) << e.what();
  }
  EXPECT_EQ(book.sheets().count(), 2);
  EXPECT_EQ(book.activeSheet().name(), "Data");
  book.save();
  EXPECT_EQ(test::readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Features, Unsupported,
    ::testing::Values(
        Feature{"WebExtension",
                "http://schemas.microsoft.com/office/2011/relationships/webextension",
                "(webextension)"},
        Feature{"Connection",
                "http://schemas.openxmlformats.org/officeDocument/2006/relationships/connections",
                "(connections)"},
        Feature{"ExternalLink",
                "http://schemas.openxmlformats.org/officeDocument/2006/relationships/externalLink",
                "(externalLink)"},
        Feature{"SlicerCache", "http://schemas.microsoft.com/office/2007/relationships/slicerCache",
                "(slicerCache)"},
        Feature{"UnknownPart", "http://example.org/relationships/sparkles", "(sparkles)"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Table, WrittenByLibxlsxwriterIsCopiedWithATableOfItsOwn) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writeTableWorkbook(path);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item(1).copy(book.sheets().item(1));
  book.save();
  const std::string copyPart = sheetPartOf(path, "Data (2)");
  const std::string table = zipPart(path, test::relatedPart(path, copyPart, "rId1"));
  EXPECT_NE(table.find("displayName=\"Table12\""), std::string::npos) << table;
  EXPECT_NE(table.find("id=\"2\""), std::string::npos) << table;
  EXPECT_NE(zipPart(path, "xl/tables/table1.xml").find("displayName=\"Table1\""),
            std::string::npos);
}

TEST(SheetNumbers, CopyIsRefusedPastTheLastSheetId) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  std::string workbook = zipPart(path, "xl/workbook.xml");
  const std::string id = "sheetId=\"2\"";
  workbook.replace(workbook.find(id), id.size(), "sheetId=\"65534\"");
  test::patchZip(path, {{"xl/workbook.xml", workbook}});
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  EXPECT_THROW(book.sheets().item("Data").copy(book.sheets().item(2)), ServerError);
  EXPECT_EQ(book.sheets().count(), 2);
}

}  // namespace
}  // namespace orv
