// The OpenDocument engine: its reference rewriter, the copy of a table with everything that
// names it, the package it writes back, and its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <pugixml.hpp>

#include "fixtures.h"
#include "server/application.h"
#include "server/file_handle.h"
#include "server/ods/ods_engine.h"
#include "server/ods/open_formula.h"
#include "server/zip/raw_copy.h"

namespace orv {
namespace {

constexpr auto Copy = RetargetMode::Copy;
constexpr auto Rename = RetargetMode::Rename;

struct RefCase {
  const char* label;
  bool addresses;  // a cell range address list rather than formula text
  const char* text;
  RetargetMode mode;
  const char* expected;
};

void PrintTo(const RefCase& c, std::ostream* os) { *os << c.label; }

class OpenFormulaRefs : public ::testing::TestWithParam<RefCase> {};

// The source sheet is "Data" and the new name "Data's (2)", whose apostrophe must be doubled.
TEST_P(OpenFormulaRefs, RewriteOnlyReferencesToTheSheet) {
  const RefCase& c = GetParam();
  const std::string out = c.addresses ? ods::retargetAddresses(c.text, "Data", "Data's (2)", c.mode)
                                      : ods::retargetFormula(c.text, "Data", "Data's (2)", c.mode);
  EXPECT_EQ(out, c.expected);
  if (!c.addresses) {
    EXPECT_EQ(ods::openFormulaReferences().refersTo(c.text, "Data", c.mode),
              out != std::string(c.text));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formulas, OpenFormulaRefs,
    ::testing::Values(
        RefCase{"OwnSheetWithoutName", false, "of:=[.A1]+[.A1:.B2]", Copy, "of:=[.A1]+[.A1:.B2]"},
        RefCase{"AbsoluteNameKeepsDollar", false, "of:=[$Data.A1]*2", Copy,
                "of:=[$'Data''s (2)'.A1]*2"},
        RefCase{"NameWithoutDollar", false, "of:=SUM([Data.A1:.B5])", Copy,
                "of:=SUM(['Data''s (2)'.A1:.B5])"},
        RefCase{"QuotedAndCaseFolded", false, "of:=['DATA'.$B$1]", Copy,
                "of:=['Data''s (2)'.$B$1]"},
        RefCase{"BothEndsNamed", false, "of:=[$Data.A1:$Data.B2]", Copy,
                "of:=[$'Data''s (2)'.A1:$'Data''s (2)'.B2]"},
        RefCase{"ThreeDRangeKeptOnCopy", false, "of:=SUM([$Data.A1:$Other.B2])", Copy,
                "of:=SUM([$Data.A1:$Other.B2])"},
        RefCase{"ThreeDRangeRenamed", false, "of:=SUM([$Data.A1:$Other.B2])", Rename,
                "of:=SUM([$'Data''s (2)'.A1:$Other.B2])"},
        RefCase{"OtherSheetsAndPrefixes", false, "of:=[$'Data 2'.A1]+[$DataX.A1]", Copy,
                "of:=[$'Data 2'.A1]+[$DataX.A1]"},
        RefCase{"StringLiteralsUntouched", false,
                "of:=CONCATENATE(\"[Data.A1]\";\"\"\"[$Data.B1]\";[Data.C1])", Copy,
                "of:=CONCATENATE(\"[Data.A1]\";\"\"\"[$Data.B1]\";['Data''s (2)'.C1])"},
        RefCase{"OtherFilesUntouched", false, "of:=['file:///b.ods'#$Data.A1]+[$Data.A1]", Copy,
                "of:=['file:///b.ods'#$Data.A1]+[$'Data''s (2)'.A1]"},
        RefCase{"DoubledApostrophesInSource", false, "of:=[$'O''Brien'.A1]", Copy,
                "of:=[$'O''Brien'.A1]"},
        RefCase{"UnclosedIsLeftAlone", false, "of:=[$Data.A1+['Data.B1]", Copy,
                "of:=[$Data.A1+['Data.B1]"},
        RefCase{"A1SyntaxOfTheOtherSuite", false, "msoxl:=Data!A1+'Other'!B2", Copy,
                "msoxl:='Data''s (2)'!A1+'Other'!B2"},
        RefCase{"ValidationList", false, "of:cell-content-is-in-list([$Data.$A$1:.$A$3])", Copy,
                "of:cell-content-is-in-list([$'Data''s (2)'.$A$1:.$A$3])"}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Addresses, OpenFormulaRefs,
    ::testing::Values(
        RefCase{"PrintRangeList", true, "Data.A1:Data.B2 Other.A1 $Data.$C$1:.$C$9", Copy,
                "'Data''s (2)'.A1:'Data''s (2)'.B2 Other.A1 $'Data''s (2)'.$C$1:.$C$9"},
        RefCase{"QuotedWithSpaces", true, "'Data'.A1:'My Data'.B5", Rename,
                "'Data''s (2)'.A1:'My Data'.B5"},
        RefCase{"CellAnchor", true, "Data.G31", Copy, "'Data''s (2)'.G31"},
        RefCase{"NoSheet", true, ".A1:.B2", Copy, ".A1:.B2"}),
    [](const auto& info) { return std::string(info.param.label); });

// The fixture book, copied and renamed through the object model, read back from the file.
class OdsCopy : public ::testing::Test {
 protected:
  void copyData(int times, const test::OdsOptions& options = {}) {
    path_ = dir_.file("Book.ods");
    test::writeOdsWorkbook(path_, options);
    before_ = test::readZip(path_);
    app_->onNotice([this](const std::string& n) { notices_.push_back(n); });
    Workbook& book = app_->workbooks().open(path_);
    for (int i = 0; i < times; ++i)
      book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
    book.save();
  }
  pugi::xml_node table(const pugi::xml_document& doc, const std::string& name) {
    return doc.document_element().find_node([&](pugi::xml_node n) {
      return std::string_view(n.name()) == "table:table" &&
             name == n.attribute("table:name").value();
    });
  }
  void load(pugi::xml_document& doc, const std::string& entry) {
    ASSERT_TRUE(doc.load_string(test::zipPart(path_, entry).c_str())) << entry;
  }

  test::TempDir dir_;
  std::string path_;
  std::vector<test::ZipEntry> before_;
  std::vector<std::string> notices_;
  std::unique_ptr<Application> app_ = createApplication();
};

// One instance per copy, as a save after every copy runs them; returns the sheets it saw. With
// `rename`, the instance first renames the sheet "Other", which other sheets' formulas name.
int copyDataInFreshInstance(const std::string& path, const std::string& rename = "",
                            const std::string& source = "Data") {
  std::unique_ptr<Application> app = createApplication();
  Workbook& book = app->workbooks().open(path);
  const int count = book.sheets().count();
  if (!rename.empty()) book.sheets().item("Other").setName(rename);
  book.sheets().item(source).copy(book.sheets().item(count));
  book.save();
  return count;
}

TEST(OdsInstances, TakeOverWhatTheLastSavedAndReadAfreshWhatChangedBehindThem) {
  test::TempDir dir;
  const std::string kept = dir.file("kept.ods"), fresh = dir.file("fresh.ods");
  test::writeOdsWorkbook(kept, {});
  const std::string original = test::readFile(kept);
  test::writeFile(fresh, original);
  ods::keepSavedContent(false);
  // From the second save on, the kept content is saved table by table; a rename of a sheet
  // that other tables name changes tables saved before. Copies of a sheet without validations
  // leave the start of the content as the last save wrote it, which is then copied from the file.
  const auto run = [](const std::string& path) {
    int seen = 0;
    for (int i = 0; i < 6; ++i)
      seen = copyDataInFreshInstance(path, i == 2 ? "Other 2" : "", i < 3 ? "Data" : "Other 2");
    return seen;
  };
  run(fresh);
  ods::keepSavedContent(true);
  const int seen = run(kept);
  // Every entry, in order: what instances hand on (the layout, the manifest, the settings, the
  // object folders) must give what reading the file gives.
  const std::vector<test::ZipEntry> a = test::readZip(kept), b = test::readZip(fresh);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].data, b[i].data) << a[i].name;
    EXPECT_EQ(a[i].method, b[i].method) << a[i].name;
  }

  // Another program puts the original back in place, with the time the saved file had: the
  // next instance sees the original's sheets, not the ones it would have been handed.
  const auto time = std::filesystem::last_write_time(kept);
  test::writeFile(kept, original);
  std::filesystem::last_write_time(kept, time);
  EXPECT_EQ(copyDataInFreshInstance(kept), seen - 5);
}

// What an instance leaves for the next holds no file open, whether the instance only read the
// workbook or saved it: the process may keep it until it ends, and Windows replaces no file that
// is open.
TEST(OdsInstances, LeaveNoFileOpen) {
#ifndef __linux__
  GTEST_SKIP() << "the files a process holds open are listed from /proc";
#else
  test::TempDir dir;
  const std::string path = dir.file("Book.ods");
  test::writeOdsWorkbook(path, {});
  const auto heldOpen = [&] {
    int count = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (std::filesystem::read_symlink(fd.path(), error) == std::filesystem::path(path)) ++count;
    }
    return count;
  };
  const auto readOnly = [&] {
    std::unique_ptr<Application> app = createApplication();
    return app->workbooks().open(path).sheets().count();
  };
  const int sheets = readOnly();
  EXPECT_EQ(heldOpen(), 0);
  copyDataInFreshInstance(path);
  EXPECT_EQ(readOnly(), sheets + 1);
  EXPECT_EQ(heldOpen(), 0);
#endif
}

// Finished copies wait as packed text, and come back as trees when a rename or a copy needs them;
// the file is what it would be had they stayed trees.
TEST(OdsInstances, RetiredCopiesComeBackAsTheyWere) {
  test::TempDir dir;
  const auto run = [&](const std::string& path) {
    test::writeOdsWorkbook(path, {});
    {
      std::unique_ptr<Application> app = createApplication();
      Workbook& book = app->workbooks().open(path);
      for (int i = 0; i < 40; ++i)  // enough for the tree to be compacted on the way
        book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
      book.sheets().item(8).copy(book.sheets().item(book.sheets().count()));
      book.sheets().item(5).setName("Renamed");
      book.save();
    }
    copyDataInFreshInstance(path);
    copyDataInFreshInstance(path, "Other 2", "Renamed");
  };
  const std::string retired = dir.file("retired.ods"), trees = dir.file("trees.ods");
  run(retired);
  ods::retireCopiedTables(false);
  run(trees);
  ods::retireCopiedTables(true);
  const std::vector<test::ZipEntry> a = test::readZip(retired), b = test::readZip(trees);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_TRUE(a[i].data == b[i].data) << a[i].name << " differs";
  }
  EXPECT_EQ(test::sheetNamesByEngine(retired).size(), 46u);
}

// The run's last save stores the content as one stream: copies of one sheet, each deflated on
// its own, take several times the room. The text is the same either way.
TEST(OdsInstances, TheRunsLastSaveStoresTheContentAsOneStream) {
  test::TempDir dir;
  const auto run = [&](const std::string& path, bool last) {
    test::writeOdsWorkbook(path, {});
    std::unique_ptr<Application> app = createApplication();
    Workbook& book = app->workbooks().open(path);
    for (int i = 0; i < 40; ++i)
      book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
    book.save(last);
  };
  const std::string pieces = dir.file("pieces.ods"), one = dir.file("one.ods");
  run(pieces, false);
  run(one, true);
  const auto content = [](const std::string& path) {
    for (test::ZipEntry& e : test::readZip(path))
      if (e.name == "content.xml") return e;
    return test::ZipEntry{};
  };
  const test::ZipEntry a = content(one), b = content(pieces);
  EXPECT_TRUE(a.data == b.data);
  EXPECT_LT(a.compressedSize * 2, b.compressedSize);
}

// Saved again and again, the content's data keeps its offset within a block, whatever came
// before it: what a save repeats of the last one can be cloned.
TEST(OdsInstances, TheContentKeepsItsPlaceWithinABlock) {
  test::TempDir dir;
  const std::string path = dir.file("book.ods");
  std::string rows;
  for (int i = 0; i < 4000; ++i)
    rows += "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"" +
            std::to_string(i * 7919 % 10007) + "\"/></table:table-row>";
  test::OdsOptions options;
  options.dataExtra = rows;
  test::writeOdsWorkbook(path, options);
  std::vector<std::uint64_t> offsets;
  for (int save = 0; save < 4; ++save) {
    // "Other" has no validations: a copy of it leaves the start of the content as it was.
    copyDataInFreshInstance(path, "", "Other");
    const std::string bytes = test::readFile(path);
    FileHandle in = FileHandle::openForReading(path);
    const std::optional<zip::Layout> layout = zip::readLayout(in.descriptor(), bytes.size());
    ASSERT_TRUE(layout);
    const auto content =
        std::find_if(layout->entries.begin(), layout->entries.end(),
                     [&](const zip::Entry& e) { return layout->nameOf(e) == "content.xml"; });
    ASSERT_NE(content, layout->entries.end());
    const zip::Entry& entry = *content;
    const auto u16 = [&](size_t at) {
      return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
    };
    offsets.push_back(entry.start + 30 + u16(entry.start + 26) + u16(entry.start + 28));
  }
  // Saved table by table from the first save on, the second save repeats the first's start too.
  for (size_t i = 1; i < offsets.size(); ++i) EXPECT_EQ(offsets[i] % 4096, offsets[i - 1] % 4096);
  EXPECT_EQ(test::sheetNamesByEngine(path).size(), 7u);
}

TEST_F(OdsCopy, TheCopyNamesItselfWhereTheSourceNamedItself) {
  test::OdsOptions options;
  // The empty forms element the office suite writes for every sheet holds no control.
  options.dataExtra = "<office:forms form:automatic-focus=\"false\">\n </office:forms>";
  copyData(1, options);
  Workbook& book = app_->workbooks().item(1);
  book.sheets().item(4).setName("Q'1");
  book.save();
  pugi::xml_document content;
  load(content, "content.xml");
  const std::string copy = test::zipPart(path_, "content.xml");
  pugi::xml_node q = table(content, "Q'1");
  ASSERT_TRUE(q);
  EXPECT_EQ(q.previous_sibling().attribute("table:name").value(), std::string("Summary"));
  EXPECT_STREQ(q.attribute("table:print-ranges").value(), "'Q''1'.A1:'Q''1'.C4");
  const auto formulaOf = [&](pugi::xml_node t, int row, int column) {
    pugi::xml_node r = t.child("table:table-row");
    for (int i = 0; i < row; ++i) r = r.next_sibling("table:table-row");
    pugi::xml_node c = r.child("table:table-cell");
    for (int i = 0; i < column; ++i) c = c.next_sibling("table:table-cell");
    return std::string(c.attribute("table:formula").value());
  };
  EXPECT_EQ(formulaOf(q, 1, 1), "of:=[.B1]*2");
  EXPECT_EQ(formulaOf(q, 2, 1), "of:=[$'Q''1'.B1]+[$Other.A1]");
  EXPECT_EQ(formulaOf(q, 3, 0), "of:=CONCATENATE(\"[Data.B1]\";['Q''1'.B1])");
  EXPECT_EQ(formulaOf(q, 3, 1), "of:=SUM([$'Q''1'.B1:.B2])");
  // The source and the sheet naming it are as they were.
  EXPECT_EQ(formulaOf(table(content, "Data"), 2, 1), "of:=[$Data.B1]+[$Other.A1]");
  EXPECT_EQ(formulaOf(table(content, "Other"), 1, 0), "of:=[$Data.B1]");
  // Local name, conditional format and picture anchor follow the copy.
  EXPECT_STREQ(q.child("table:named-expressions")
                   .child("table:named-range")
                   .attribute("table:cell-range-address")
                   .value(),
               "$'Q''1'.$B$1:.$B$3");
  EXPECT_NE(copy.find("calcext:value=\">[$'Q''1'.B1]\""), std::string::npos);
  EXPECT_NE(copy.find("table:end-cell-address=\"'Q''1'.D6\""), std::string::npos);
  // A validation of its own, the autofilter's range of its own; global names stay.
  EXPECT_NE(copy.find("table:name=\"val2\" table:condition=\"of:cell-content-is-in-list([$'Q''1'"
                      ".$A$1:.$A$3])\""),
            std::string::npos);
  EXPECT_NE(copy.find("table:content-validation-name=\"val2\""), std::string::npos);
  EXPECT_NE(copy.find("table:name=\"__Anonymous_Sheet_DB__3\" table:target-range-address=\"'Q''1'"
                      ".A1:'Q''1'.B4\""),
            std::string::npos);
  EXPECT_NE(copy.find("table:name=\"Total\" table:base-cell-address=\"$Data.$A$1\" "
                      "table:cell-range-address=\"$Data.$B$1:.$B$4\""),
            std::string::npos);
  // Unused namespace declarations survive: formula prefixes resolve through them.
  EXPECT_NE(copy.find("xmlns:xhtml="), std::string::npos);
  // The view settings follow the rename.
  const std::string settings = test::zipPart(path_, "settings.xml");
  EXPECT_NE(settings.find("config:name=\"Q'1\"><config:config-item config:name=\"ZoomValue\" "
                          "config:type=\"int\">120"),
            std::string::npos);
}

TEST_F(OdsCopy, ChartsAreDuplicatedPicturesSharedIdsUniqueAndThePackageStaysValid) {
  copyData(3);
  pugi::xml_document content;
  load(content, "content.xml");
  std::vector<std::string> ids, objects, pictures;
  content.document_element().find_node([&](pugi::xml_node n) {
    if (auto a = n.attribute("xml:id")) ids.push_back(a.value());
    if (std::string_view(n.name()) == "draw:object")
      objects.push_back(n.attribute("xlink:href").value());
    if (auto a = n.attribute("xlink:href"); std::string_view(a.value()).starts_with("Pictures/"))
      pictures.push_back(a.value());
    return false;
  });
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
  EXPECT_EQ(objects,
            (std::vector<std::string>{"./Object 1", "./Object 2", "./Object 3", "./Object 4"}));
  EXPECT_EQ(pictures, std::vector<std::string>(4, "Pictures/p1.png"));

  const std::vector<test::ZipEntry> after = test::readZip(path_);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0].name, "mimetype");
  EXPECT_EQ(after[0].method, 0);
  const std::string manifest = test::zipPart(path_, "META-INF/manifest.xml");
  for (const test::ZipEntry& e : after) {
    if (e.name != "mimetype" && e.name != "META-INF/manifest.xml") {
      EXPECT_NE(manifest.find("manifest:full-path=\"" + e.name + "\""), std::string::npos)
          << e.name;
    }
    // Entries the copy did not change are stored as they were.
    for (const test::ZipEntry& b : before_)
      if (b.name == e.name && e.name != "content.xml" && e.name != "settings.xml" &&
          e.name != "meta.xml" && e.name != "META-INF/manifest.xml") {
        EXPECT_TRUE(b.crc == e.crc && b.compressedSize == e.compressedSize) << e.name;
      }
  }
  EXPECT_NE(manifest.find("full-path=\"Object 4/\" manifest:media-type=\"application/"
                          "vnd.oasis.opendocument.chart\""),
            std::string::npos);
  EXPECT_EQ(test::zipPart(path_, "ObjectReplacements/Object 3"), "not a metafile");
  // Each copy's chart plots its own data and keeps its label from "Other".
  const std::string chart = test::zipPart(path_, "Object 3/content.xml");
  EXPECT_NE(chart.find("chart:values-cell-range-address=\"'Data (3)'.B1:'Data (3)'.B3\" "
                       "chart:label-cell-address=\"Other.A1\""),
            std::string::npos)
      << chart;
  EXPECT_NE(test::zipPart(path_, "meta.xml")
                .find("meta:table-count=\"6\" meta:cell-count=\"44\" meta:object-count=\"8\""),
            std::string::npos)
      << test::zipPart(path_, "meta.xml");
}

TEST_F(OdsCopy, DocumentSignaturesAreRemovedAndSaidMacroSignaturesKept) {
  test::OdsOptions options;
  options.extraEntries = {{"META-INF/documentsignatures.xml", "<signatures/>"},
                          {"META-INF/macrosignatures.xml", "<signatures/>"}};
  copyData(1, options);
  EXPECT_EQ(test::zipPart(path_, "META-INF/documentsignatures.xml"), "");
  EXPECT_EQ(test::zipPart(path_, "META-INF/macrosignatures.xml"), "<signatures/>");
  const std::string manifest = test::zipPart(path_, "META-INF/manifest.xml");
  EXPECT_EQ(manifest.find("documentsignatures"), std::string::npos);
  EXPECT_NE(manifest.find("macrosignatures"), std::string::npos);
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_NE(notices_[0].find("signature of 'Book.ods' was removed"), std::string::npos);
  // Nothing more to say afterwards.
  app_->workbooks().item(1).sheets().item("Data").copy(app_->workbooks().item(1).sheets().item(4));
  app_->workbooks().item(1).sheets().item("Other").setName("Else");
  app_->workbooks().item(1).save();
  EXPECT_EQ(notices_.size(), 1u);
  // Renaming a sheet that was there reaches every sheet's formulas and every chart.
  const std::string content = test::zipPart(path_, "content.xml");
  EXPECT_EQ(content.find("Other."), std::string::npos);
  EXPECT_NE(content.find("of:=[$Data.B1]+[$'Else'.A1]"), std::string::npos);
  EXPECT_NE(test::zipPart(path_, "Object 2/content.xml").find("label-cell-address=\"'Else'.A1\""),
            std::string::npos);
}

struct OdsFeature {
  const char* label;
  std::string dataExtra;
  std::string spreadsheetExtra;
  bool structureProtected;
  const char* words;
};

void PrintTo(const OdsFeature& c, std::ostream* os) { *os << c.label; }

class OdsRefusal : public ::testing::TestWithParam<OdsFeature> {};

TEST_P(OdsRefusal, NamesTheFeatureAndLeavesTheFileUntouched) {
  test::TempDir dir;
  const std::string path = dir.file("Book.ods");
  test::OdsOptions options;
  options.dataExtra = GetParam().dataExtra;
  options.spreadsheetExtra = GetParam().spreadsheetExtra;
  options.structureProtected = GetParam().structureProtected;
  test::writeOdsWorkbook(path, options);
  const std::string before = test::readFile(path);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  try {
    book.sheets().item("Data").copy(book.sheets().item(3));
    FAIL() << "copied";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().words), std::string::npos) << e.what();
  }
  EXPECT_EQ(book.sheets().count(), 3);
  EXPECT_EQ(book.engine().sheetVisibility(book.sheets().item("Summary").id()),
            SheetVisibility::Hidden);
  EXPECT_EQ(book.engine().sheetVisibility(book.sheets().item("Data").id()),
            SheetVisibility::Visible);
  book.save();
  EXPECT_EQ(test::readFile(path), before);
  // Other sheets still copy unless the whole workbook is closed to new sheets.
  if (!GetParam().structureProtected) book.sheets().item("Other").copy(book.sheets().item(3));
}

INSTANTIATE_TEST_SUITE_P(
    Features, OdsRefusal,
    ::testing::Values(
        OdsFeature{"DataPilotOutput", "",
                   "<table:data-pilot-tables><table:data-pilot-table table:name=\"P\" "
                   "table:target-range-address=\"Data.E1:Data.F4\"/></table:data-pilot-tables>",
                   false, "pivot tables"},
        OdsFeature{"Scenario", "<table:scenario table:scenario-ranges=\"Data.A1\"/>", "", false,
                   "scenarios"},
        OdsFeature{"LinkedSheet", "<table:table-source xlink:href=\"file:///x.ods\"/>", "", false,
                   "linked sheet"},
        OdsFeature{"FormControl", "<office:forms><form:form/></office:forms>", "", false,
                   "form controls"},
        OdsFeature{"OleObject",
                   "<table:shapes><draw:frame><draw:object-ole xlink:href=\"./Obj9\"/></draw:frame>"
                   "</table:shapes>",
                   "", false, "embedded OLE objects"},
        OdsFeature{"StructureProtected", "", "", true, "structure is protected"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace orv
