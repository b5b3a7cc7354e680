// A copy of a sheet of a workbook written by libxlsxwriter, judged on the saved package and by
// openpyxl.
#include <gtest/gtest.h>

#include <algorithm>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "fixtures.h"
#include "server/application.h"
#include "server/cfb/compound_file.h"
#include "server/vba/vba_project.h"

namespace orv {
namespace {

using test::readZip;
using test::sheetPartOf;
using test::zipPart;

pugi::xml_document parse(const std::string& text) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_buffer(text.data(), text.size())) << text.substr(0, 200);
  return doc;
}

class RichCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("Book.xlsx");
    test::writeRichWorkbook(path_);
    original_ = readZip(path_);
  }

  // Copies "Data" after the last sheet `count` times in one instance and saves once.
  void copyData(int count) {
    auto app = createApplication();
    Workbook& book = app->workbooks().open(path_);
    for (int i = 0; i < count; ++i) {
      Sheet last = book.sheets().item(book.sheets().count());
      book.sheets().item("Data").copy(last);
    }
    book.save();
    app->quit();
    EXPECT_EQ(test::partsWithoutContentType(path_), std::vector<std::string>{});
  }

  std::string part(const std::string& name) { return zipPart(path_, name); }

  test::TempDir dir_;
  std::string path_;
  std::vector<test::ZipEntry> original_;
};

TEST_F(RichCopy, CopyGoesLastWithTheAutomaticNameAndBecomesTheActiveSheet) {
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path_);
  ASSERT_EQ(book.sheets().count(), 3);
  EXPECT_EQ(book.worksheets().count(), 2);  // the chart sheet is not a worksheet
  book.sheets().item("data").copy(book.sheets().item(3));
  EXPECT_EQ(book.activeSheet().name(), "Data (2)");
  EXPECT_EQ(book.activeSheet().index(), 4);
  EXPECT_EQ(book.worksheets().count(), 3);
  book.save();
  app->quit();

  Workbook& again = app->workbooks().open(path_);
  std::vector<std::string> names;
  for (int i = 1; i <= again.sheets().count(); ++i) names.push_back(again.sheets().item(i).name());
  EXPECT_EQ(names, (std::vector<std::string>{"Data", "Other", "Summary", "Data (2)"}));
  // The workbook still opens on the tab it opened on before.
  EXPECT_EQ(again.activeSheet().name(), "Data");
  ORV_NEEDS_ORACLE();
  auto listed = test::inspectWithOpenpyxl({"sheets", path_});
  ASSERT_TRUE(listed.ok) << listed.output;
  EXPECT_EQ(listed.output, "Data\nOther\nSummary\nData (2)\n");
}

// Some office suites name every part, relationship parts included, by an Override and declare
// no Default: each part a copy adds must then get an Override of its own.
TEST_F(RichCopy, EveryAddedPartHasAContentTypeWhenEveryPartIsDeclaredByOverride) {
  test::declareEveryPartByOverride(path_);
  ASSERT_EQ(test::partsWithoutContentType(path_), std::vector<std::string>{});
  copyData(2);
  const std::string types = part("[Content_Types].xml");
  EXPECT_EQ(types.find("<Default"), std::string::npos);
  EXPECT_NE(types.find("PartName=\"/xl/worksheets/_rels/sheet"), std::string::npos);
}

TEST_F(RichCopy, OpenpyxlSeesEachCopyEqualToTheSource) {
  copyData(2);
  for (const char* copy : {"Data (2)", "Data (3)"}) {
    ORV_NEEDS_ORACLE();
    auto result = test::inspectWithOpenpyxl({"compare", path_, "Data", copy});
    EXPECT_TRUE(result.ok) << copy << ":\n" << result.output;
  }
}

TEST_F(RichCopy, FormulasNamingTheSourceNameTheCopyAndNothingElseChanges) {
  copyData(1);
  const std::string sheet = part(sheetPartOf(path_, "Data (2)"));
  EXPECT_NE(sheet.find("<f>'Data (2)'!B2*2</f>"), std::string::npos);
  EXPECT_NE(sheet.find("'Data (2)'!B3+Other!A1"), std::string::npos);
  EXPECT_NE(sheet.find("CONCATENATE(\"Data!B2\",'Data (2)'!B4)"), std::string::npos);
  EXPECT_NE(sheet.find("'Data (2)'!B2:B3*2"), std::string::npos);  // the array formula
  // Validation and conditional formats naming the source follow it; those naming Other do not.
  EXPECT_NE(sheet.find("'Data (2)'!$A$2:$A$5"), std::string::npos);
  EXPECT_NE(sheet.find("Other!$A$1:$A$3"), std::string::npos);
  EXPECT_NE(sheet.find("'Data (2)'!$B2&gt;Other!$A$1"), std::string::npos);
  // The source sheet is saved as it was.
  for (const auto& e : original_) {
    if (e.name == "xl/worksheets/sheet1.xml") {
      EXPECT_EQ(part(e.name), e.data);
    }
  }
}

TEST_F(RichCopy, CopyIsNotSelectedAndItsIdsAreFresh) {
  copyData(1);
  const std::string source = part("xl/worksheets/sheet1.xml");
  const std::string copy = part(sheetPartOf(path_, "Data (2)"));
  ASSERT_NE(source.find("tabSelected=\"1\""), std::string::npos);
  EXPECT_EQ(copy.find("tabSelected"), std::string::npos);

  // The 2010 data bar links its rule to its extension by a GUID: new in the copy, still linked.
  std::regex guid(R"(<x14:id>(\{[0-9A-F-]{36}\})</x14:id>)");
  std::smatch a, b;
  ASSERT_TRUE(std::regex_search(source, a, guid));
  ASSERT_TRUE(std::regex_search(copy, b, guid));
  EXPECT_NE(a[1].str(), b[1].str());
  EXPECT_NE(copy.find("id=\"" + b[1].str() + "\""), std::string::npos);

  // sheetId one above the largest, and a relationship of the workbook's own.
  auto workbook = parse(part("xl/workbook.xml"));
  pugi::xml_node sheets = workbook.child("workbook").child("sheets");
  EXPECT_STREQ(sheets.find_child_by_attribute("name", "Data (2)").attribute("sheetId").value(),
               "4");
  std::set<std::string> rids;
  for (pugi::xml_node s : sheets.children())
    EXPECT_TRUE(rids.insert(s.attribute("r:id").value()).second);
}

TEST_F(RichCopy, RelatedPartsAreDuplicatedOrSharedAsExcelDoes) {
  copyData(1);
  const std::string sourcePart = "xl/worksheets/sheet1.xml";
  const std::string copyPart = sheetPartOf(path_, "Data (2)");
  auto sourceRels = parse(part("xl/worksheets/_rels/sheet1.xml.rels"));
  auto copyRels =
      parse(part("xl/worksheets/_rels/" + copyPart.substr(copyPart.rfind('/') + 1) + ".rels"));
  std::map<std::string, std::string> types;
  for (pugi::xml_node r : sourceRels.document_element().children())
    types[r.attribute("Id").value()] = r.attribute("Type").value();
  std::map<std::string, std::string> copyTypes;
  for (pugi::xml_node r : copyRels.document_element().children())
    copyTypes[r.attribute("Id").value()] = r.attribute("Type").value();
  // Same Ids, same types: no r:id inside the copied sheet needed to change.
  EXPECT_EQ(types, copyTypes);

  for (const auto& [id, type] : types) {
    std::string kind = type.substr(type.rfind('/') + 1);
    if (kind == "hyperlink") continue;
    std::string a = test::relatedPart(path_, sourcePart, id);
    std::string b = test::relatedPart(path_, copyPart, id);
    EXPECT_NE(a, b) << kind << " should be the copy's own part";
    ASSERT_FALSE(part(b).empty()) << b;
    if (kind == "vmlDrawing") {
      std::smatch ma, mb;
      std::regex idmap(R"(data="(\d+)\")");
      std::string va = part(a), vb = part(b);
      ASSERT_TRUE(std::regex_search(va, ma, idmap));
      ASSERT_TRUE(std::regex_search(vb, mb, idmap));
      EXPECT_NE(ma[1].str(), mb[1].str());
      long block = std::stol(mb[1].str());
      std::regex shape(R"(_x0000_s(\d+))");
      int shapes = 0;
      for (auto it = std::sregex_iterator(vb.begin(), vb.end(), shape);
           it != std::sregex_iterator(); ++it, ++shapes)
        EXPECT_EQ(std::stol((*it)[1].str()) / 1024, block);
      EXPECT_GE(shapes, 1);
    } else if (kind == "drawing") {
      // The picture is shared; the chart is the copy's own and plots the copy.
      std::string da = part(a), db = part(b);
      EXPECT_EQ(da, db);
      std::string imageA, imageB, chartA, chartB;
      for (const char* rid : {"rId1", "rId2"}) {
        std::string ta = test::relatedPart(path_, a, rid), tb = test::relatedPart(path_, b, rid);
        if (ta.find("media") != std::string::npos) {
          EXPECT_EQ(ta, tb);
        } else {
          EXPECT_NE(ta, tb);
          chartB = part(tb);
          EXPECT_NE(chartB.find("<c:f>'Data (2)'!$B$2:$B$5</c:f>"), std::string::npos);
          EXPECT_NE(chartB.find("<c:f>'Data (2)'!$B$1</c:f>"), std::string::npos);
          EXPECT_NE(part(ta).find("<c:f>Data!$B$2:$B$5</c:f>"), std::string::npos);
        }
      }
    } else if (kind == "comments") {
      EXPECT_EQ(part(a), part(b));
    }
  }

  // Every new part has its content type.
  auto types_ = parse(part("[Content_Types].xml"));
  std::set<std::string> overrides, defaults;
  for (pugi::xml_node n : types_.document_element().children()) {
    if (std::string_view(n.name()) == "Override") overrides.insert(n.attribute("PartName").value());
    if (std::string_view(n.name()) == "Default") defaults.insert(n.attribute("Extension").value());
  }
  std::set<std::string> before;
  for (const auto& e : original_) before.insert(e.name);
  for (const auto& e : readZip(path_)) {
    if (before.count(e.name)) continue;
    std::string ext = e.name.substr(e.name.rfind('.') + 1);
    EXPECT_TRUE(overrides.count("/" + e.name) || defaults.count(ext)) << e.name;
    if (ext == "xml") {
      EXPECT_TRUE(overrides.count("/" + e.name)) << e.name;
    }
  }
}

TEST_F(RichCopy, EveryVmlPartHasShapeIdBlocksOfItsOwn) {
  copyData(3);
  std::regex idmap(R"(<o:idmap[^>]*data="([0-9,]+)\")");
  std::regex shape(R"(_x0000_s(\d+))");
  std::map<long, std::string> owner;
  std::set<std::string> before;
  for (const auto& e : original_) before.insert(e.name);
  int parts = 0;
  // libxlsxwriter itself gives the notes and the header picture the same block; the copies'
  // parts must not share theirs with anyone.
  auto result = readZip(path_);
  std::stable_partition(result.begin(), result.end(),
                        [&](const test::ZipEntry& e) { return before.count(e.name) > 0; });
  for (const auto& e : result) {
    if (!e.name.ends_with(".vml")) continue;
    ++parts;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(e.data, m, idmap)) << e.name;
    std::set<long> blocks;
    std::stringstream list(m[1].str());
    for (std::string n; std::getline(list, n, ',');) {
      long block = std::stol(n);
      blocks.insert(block);
      auto [it, fresh] = owner.emplace(block, e.name);
      if (!before.count(e.name)) {
        EXPECT_TRUE(fresh) << "block " << block << " of " << e.name << " is used by " << it->second;
      }
    }
    for (auto it = std::sregex_iterator(e.data.begin(), e.data.end(), shape);
         it != std::sregex_iterator(); ++it)
      EXPECT_TRUE(blocks.count(std::stol((*it)[1].str()) / 1024)) << e.name << ": " << (*it)[0];
  }
  EXPECT_EQ(parts, 8);  // notes and button, header picture: for the source and three copies
}

TEST_F(RichCopy, SheetNamesAreClonedForTheCopyAndWorkbookNamesOnTheSourceLocalised) {
  copyData(1);
  auto workbook = parse(part("xl/workbook.xml"));
  std::multimap<std::string, std::pair<std::string, std::string>> names;  // name -> (scope, text)
  for (pugi::xml_node n : workbook.child("workbook").child("definedNames").children())
    names.emplace(n.attribute("name").value(),
                  std::make_pair(n.attribute("localSheetId").value(), n.text().get()));
  auto has = [&](const std::string& name, const std::string& scope, const std::string& text) {
    auto [begin, end] = names.equal_range(name);
    return std::any_of(begin, end,
                       [&](const auto& n) { return n.second == std::make_pair(scope, text); });
  };
  EXPECT_TRUE(has("_xlnm.Print_Area", "0", "Data!$A$1:$D$20"));
  EXPECT_TRUE(has("_xlnm.Print_Area", "3", "'Data (2)'!$A$1:$D$20"));
  EXPECT_TRUE(has("_xlnm.Print_Titles", "3", "'Data (2)'!$1:$1"));
  EXPECT_TRUE(has("_xlnm._FilterDatabase", "3", "'Data (2)'!$A$1:$B$5"));
  EXPECT_TRUE(has("Total", "", "Data!$B$2:$B$5"));
  EXPECT_TRUE(has("Total", "3", "'Data (2)'!$B$2:$B$5"));
  EXPECT_TRUE(has("Local", "1", "Other!$A$1"));
  EXPECT_EQ(names.count("Local"), 1u);
  for (pugi::xml_node n : workbook.child("workbook").child("definedNames").children()) {
    if (std::string_view(n.attribute("name").value()) == "_xlnm._FilterDatabase") {
      EXPECT_TRUE(n.attribute("hidden").as_bool());
    }
  }
}

TEST_F(RichCopy, DocumentPropertiesListTheCopy) {
  copyData(2);
  auto app = parse(part("docProps/app.xml"));
  pugi::xml_node props = app.document_element();
  pugi::xml_node titles = props.child("TitlesOfParts").child("vt:vector");
  std::vector<std::string> listed;
  for (pugi::xml_node t : titles.children()) listed.push_back(t.text().get());
  EXPECT_EQ(titles.attribute("size").as_int(), static_cast<int>(listed.size()));
  int total = 0;
  bool count = false;
  for (pugi::xml_node v : props.child("HeadingPairs").child("vt:vector").children()) {
    if (count) total += v.first_child().text().as_int();
    count = !count;
  }
  EXPECT_EQ(total, static_cast<int>(listed.size()));
  EXPECT_NE(std::find(listed.begin(), listed.end(), "Data (3)"), listed.end());
}

TEST_F(RichCopy, UntouchedEntriesAreCopiedRawAndInOrder) {
  copyData(3);
  auto result = readZip(path_);
  const std::set<std::string> edited = {"[Content_Types].xml", "xl/workbook.xml",
                                        "xl/_rels/workbook.xml.rels", "docProps/app.xml"};
  std::vector<std::string> order;
  for (const auto& e : result) order.push_back(e.name);
  // Untouched entries keep their order; the edited ones, which change at every save, end the
  // file.
  size_t last = 0;
  for (const auto& e : original_) {
    auto it = std::find(order.begin(), order.end(), e.name);
    ASSERT_NE(it, order.end()) << e.name << " was dropped";
    size_t at = static_cast<size_t>(it - order.begin());
    if (edited.count(e.name)) {
      EXPECT_GE(at, order.size() - edited.size()) << e.name << " is not among the last";
      continue;
    }
    EXPECT_GE(at, last) << e.name << " moved";
    last = at;
    const auto& saved = result[at];
    EXPECT_EQ(saved.data, e.data) << e.name;
    // Same compressed size and checksum: the compressed bytes were carried over, not redone.
    EXPECT_EQ(saved.compressedSize, e.compressedSize) << e.name;
    EXPECT_EQ(saved.crc, e.crc) << e.name;
    EXPECT_EQ(saved.method, e.method) << e.name;
  }
}

TEST_F(RichCopy, CopyInsertedBeforeOtherSheetsMovesScopedNamesAndTabs) {
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path_);
  book.sheets().item("Other").copy(book.sheets().item("Data"));
  EXPECT_EQ(book.sheets().item(2).name(), "Other (2)");
  book.save();
  app->quit();
  auto workbook = parse(part("xl/workbook.xml"));
  std::map<std::string, std::string> local;
  for (pugi::xml_node n : workbook.child("workbook").child("definedNames").children())
    if (std::string_view(n.attribute("name").value()) == "Local")
      local[n.attribute("localSheetId").value()] = n.text().get();
  // Other moved from position 1 to 2; the copy at 1 has its own Local.
  EXPECT_EQ(local,
            (std::map<std::string, std::string>{{"1", "'Other (2)'!$A$1"}, {"2", "Other!$A$1"}}));
  // Data was and stays the active tab.
  EXPECT_EQ(workbook.child("workbook")
                .child("bookViews")
                .child("workbookView")
                .attribute("activeTab")
                .as_int(),
            0);
}

TEST_F(RichCopy, CopyOfACopyAndSavesInOneInstance) {
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path_);
  for (int i = 0; i < 3; ++i) {
    Sheet last = book.sheets().item(book.sheets().count());
    book.sheets().item(book.sheets().count() >= 4 ? "Data (2)" : "Data").copy(last);
    book.save();
  }
  app->quit();
  ORV_NEEDS_ORACLE();
  auto listed = test::inspectWithOpenpyxl({"sheets", path_});
  ASSERT_TRUE(listed.ok) << listed.output;
  EXPECT_EQ(listed.output, "Data\nOther\nSummary\nData (2)\nData (3)\nData (4)\n");
  auto result = test::inspectWithOpenpyxl({"compare", path_, "Data", "Data (4)"});
  EXPECT_TRUE(result.ok) << result.output;
  // The copy of the copy names itself, not its source.
  EXPECT_NE(part(sheetPartOf(path_, "Data (4)")).find("'Data (4)'!B2*2"), std::string::npos);
}

TEST_F(RichCopy, ChartSheetCopyHasItsOwnChart) {
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path_);
  book.sheets().item("Summary").copy(book.sheets().item(3));
  EXPECT_EQ(book.activeSheet().kind(), SheetKind::Chartsheet);
  EXPECT_EQ(book.worksheets().count(), 2);
  book.save();
  app->quit();
  const std::string copyPart = sheetPartOf(path_, "Summary (2)");
  ASSERT_NE(copyPart.find("chartsheets/"), std::string::npos) << copyPart;
  const std::string drawing = test::relatedPart(path_, copyPart, "rId1");
  const std::string sourceDrawing = test::relatedPart(path_, sheetPartOf(path_, "Summary"), "rId1");
  EXPECT_NE(drawing, sourceDrawing);
  const std::string chart = test::relatedPart(path_, drawing, "rId1");
  EXPECT_NE(chart, test::relatedPart(path_, sourceDrawing, "rId1"));
  EXPECT_NE(zipPart(path_, chart).find("<c:f>Data!$B$2:$B$5</c:f>"), std::string::npos);
  ORV_NEEDS_ORACLE();
  auto listed = test::inspectWithOpenpyxl({"sheets", path_});
  EXPECT_EQ(listed.output, "Data\nOther\nSummary\nSummary (2)\n");
}

TEST(CalcChain, IsDroppedWhenASheetIsCopied) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  std::string types = zipPart(path, "[Content_Types].xml");
  types.insert(types.find("</Types>"),
               "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"application/"
               "vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml\"/>");
  std::string rels = zipPart(path, "xl/_rels/workbook.xml.rels");
  rels.insert(rels.find("</Relationships>"),
              "<Relationship Id=\"rId99\" Type=\"http://schemas.openxmlformats.org/officeDocument/"
              "2006/relationships/calcChain\" Target=\"calcChain.xml\"/>");
  test::patchZip(path,
                 {{"[Content_Types].xml", types},
                  {"xl/_rels/workbook.xml.rels", rels},
                  {"xl/calcChain.xml",
                   "<?xml version=\"1.0\"?><calcChain xmlns=\"http://schemas.openxmlformats.org/"
                   "spreadsheetml/2006/main\"><c r=\"A3\" i=\"1\"/></calcChain>"}});
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item("Data").copy(book.sheets().item(2));
  book.save();
  EXPECT_TRUE(zipPart(path, "xl/calcChain.xml").empty());
  EXPECT_EQ(zipPart(path, "[Content_Types].xml").find("calcChain"), std::string::npos);
  EXPECT_EQ(zipPart(path, "xl/_rels/workbook.xml.rels").find("calcChain"), std::string::npos);
}

TEST(MacroWorkbook, ProjectIsKeptAndTheCopyGetsItsOwnCodeName) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsm");
  // The project has a module for every code name, and one more that a code name must not take.
  const std::string vba = test::vbaProjectBytes(
      {{"ThisWorkbook"}, {"DataSheet"}, {"Sheet2"}, {"Sheet3"}, {"DataSheet1", {}, false}});
  test::writeMacroWorkbook(path, vba);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item("Data").copy(book.sheets().item(2));
  book.activeSheet().copy(book.sheets().item(3));
  book.save();
  // Every module of the project is kept, and each copy has one of its own.
  const cfb::CompoundEntry project = cfb::readCompoundFile(zipPart(path, "xl/vbaProject.bin"), "");
  for (const char* module :
       {"ThisWorkbook", "DataSheet", "Sheet2", "DataSheet1", "DataSheet2", "DataSheet3"})
    EXPECT_TRUE(vba::hasModule(project, module)) << module;
  std::set<std::string> codeNames;
  std::regex codeName(R"(codeName="([^"]+)\")");
  for (const char* sheet : {"Data", "Other", "Data (2)", "Data (3)"}) {
    std::string xml = zipPart(path, sheetPartOf(path, sheet));
    std::smatch m;
    if (std::regex_search(xml, m, codeName)) {
      EXPECT_NE(m[1].str(), "ThisWorkbook");
      EXPECT_TRUE(codeNames.insert(m[1].str()).second) << m[1].str() << " used twice";
    }
  }
  EXPECT_EQ(codeNames.count("DataSheet"), 1u);
  EXPECT_EQ(codeNames.count("DataSheet2"), 1u);
  EXPECT_EQ(codeNames.count("DataSheet3"), 1u);
}

TEST(FormControl, KeepsItsLinkToTheCopyAndItsShape) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  // A check box as a spreadsheet application writes it: a VML shape, a control entry naming the
  // shape by id, and properties linking it to a cell.
  std::string sheet = zipPart(path, "xl/worksheets/sheet1.xml");
  sheet.insert(
      sheet.find("</worksheet>"),
      "<legacyDrawing r:id=\"rId7\"/><mc:AlternateContent xmlns:mc=\"http://schemas."
      "openxmlformats.org/markup-compatibility/2006\"><mc:Choice Requires=\"x14\"><controls>"
      "<mc:AlternateContent><mc:Choice Requires=\"x14\"><control shapeId=\"1025\" "
      "r:id=\"rId8\" name=\"Check Box 1\"><controlPr defaultSize=\"0\"/></control>"
      "</mc:Choice></mc:AlternateContent></controls></mc:Choice></mc:AlternateContent>");
  std::string types = zipPart(path, "[Content_Types].xml");
  types.insert(types.find("</Types>"),
               "<Default Extension=\"vml\" ContentType=\"application/vnd.openxmlformats-"
               "officedocument.vmlDrawing\"/><Override PartName=\"/xl/ctrlProps/ctrlProp1.xml\" "
               "ContentType=\"application/vnd.ms-excel.controlproperties+xml\"/>");
  const std::string rel = "<Relationship Id=\"";
  test::patchZip(
      path,
      {{"xl/worksheets/sheet1.xml", sheet},
       {"[Content_Types].xml", types},
       {"xl/worksheets/_rels/sheet1.xml.rels",
        "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/"
        "2006/relationships\">" +
            rel +
            "rId7\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
            "relationships/vmlDrawing\" Target=\"../drawings/vmlDrawing1.vml\"/>" +
            rel +
            "rId8\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
            "relationships/ctrlProp\" Target=\"../ctrlProps/ctrlProp1.xml\"/></Relationships>"},
       {"xl/drawings/vmlDrawing1.vml",
        "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:"
        "office\" xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><o:shapelayout v:ext=\"edit\">"
        "<o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout><v:shape "
        "id=\"Check_x0020_Box_x0020_1\" "
        "o:spid=\"_x0000_s1025\" type=\"#_x0000_t201\"><x:ClientData ObjectType=\"Checkbox\">"
        "<x:FmlaLink>$A$1</x:FmlaLink></x:ClientData></v:shape></xml>"},
       {"xl/ctrlProps/ctrlProp1.xml",
        "<?xml version=\"1.0\"?><formControlPr xmlns=\"http://schemas.microsoft.com/office/"
        "spreadsheetml/2009/9/main\" objectType=\"CheckBox\" fmlaLink=\"Data!$A$2\" "
        "lockText=\"1\"/>"}});

  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  book.sheets().item("Data").copy(book.sheets().item(2));
  book.save();
  const std::string copyPart = sheetPartOf(path, "Data (2)");
  const std::string copy = zipPart(path, copyPart);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(copy, m, std::regex(R"re(<control shapeId="(\d+)" r:id="rId8")re")));
  const std::string vml = zipPart(path, test::relatedPart(path, copyPart, "rId7"));
  EXPECT_NE(m[1].str(), "1025");
  EXPECT_NE(vml.find("o:spid=\"_x0000_s" + m[1].str() + "\""), std::string::npos) << vml;
  const std::string props = zipPart(path, test::relatedPart(path, copyPart, "rId8"));
  EXPECT_NE(props.find("fmlaLink=\"'Data (2)'!$A$2\""), std::string::npos) << props;
  EXPECT_NE(zipPart(path, "xl/ctrlProps/ctrlProp1.xml").find("fmlaLink=\"Data!$A$2\""),
            std::string::npos);
}

}  // namespace
}  // namespace orv
