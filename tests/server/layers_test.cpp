// The engine's shared layers: the refusal vocabulary, relationships, the id registry, the ZIP
// writer's stored entries, the compound-file layer and the engine boundary.
#include <fcntl.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <stdexcept>

#include "fixtures.h"
#include "server/application.h"
#include "server/blocking_feature.h"
#include "server/cfb/compound_file.h"
#include "server/cfb/stream_names.h"
#include "server/id_registry.h"
#include "server/ooxml/relationships.h"
#include "server/zip/raw_copy.h"

namespace orv {
namespace {

TEST(BlockingFeatureWords, EveryFeatureHasItsOwnNameInTheOneSentence) {
  std::vector<std::string> names;
  for (int f = 0; f <= static_cast<int>(BlockingFeature::UnknownPart); ++f) {
    const CopyBlocker blocker{static_cast<BlockingFeature>(f), "kind"};
    const std::string name = featureName(blocker);
    EXPECT_EQ(copyRefusal("Data", blocker), "Cannot copy the sheet 'Data': it holds " + name +
                                                ", which Orvandel cannot copy yet. The workbook "
                                                "was not changed.");
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_EQ(featureName({BlockingFeature::UnknownPart, "webExtension"}),
            "a related part of a kind it does not know (webExtension)");
}

TEST(RelationshipsPart, LooksUpAddsWithTheRootsPrefixAndRemovesByKind) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(
      "<r:Relationships xmlns:r='http://schemas.openxmlformats.org/package/2006/relationships'>"
      "<r:Relationship Id='rId2' Type='http://purl.oclc.org/ooxml/officeDocument/relationships/"
      "worksheet' Target='a.xml'/><r:Relationship Id='rId7' Type='x/calcChain' Target='c.xml'/>"
      "<r:Relationship Id='rId99999999999' Type='x/hyperlink' Target='http://e' "
      "TargetMode='EXTERNAL'/></r:Relationships>"));
  pugi::xml_node root = doc.document_element();
  const ooxml::Relationships rels(root);
  ASSERT_EQ(rels.all().size(), 3u);
  EXPECT_EQ(rels.byId("rId2")->kind(), ooxml::RelKind::Worksheet);  // Strict names it too
  EXPECT_TRUE(rels.byId("rId99999999999")->external);
  EXPECT_EQ(rels.firstOfKind(ooxml::RelKind::CalcChain)->target, "c.xml");

  // An id too long for a number is no number: the next is one above the largest that is.
  EXPECT_EQ(ooxml::addRelationship(root, "x/worksheet", "b.xml"), "rId8");
  EXPECT_STREQ(root.last_child().name(), "r:Relationship");
  std::vector<std::string> removed;
  EXPECT_TRUE(ooxml::removeRelationships(root, ooxml::RelKind::CalcChain,
                                         [&](const auto& r) { removed.push_back(r.target); }));
  EXPECT_EQ(removed, std::vector<std::string>{"c.xml"});
  EXPECT_EQ(ooxml::Relationships(root).all().size(), 3u);
  EXPECT_TRUE(ooxml::Relationships::parse("<not xml").empty());
}

TEST(IdRegistryRows, GatherOnceOnFirstUseAndRecordWhatTheyHandOut) {
  IdRegistry ids;
  int gathered = 0;
  ids.addNames(IdKind::CodeName, [&](std::set<std::string>& used) {
    ++gathered;
    used.insert("Sheet1");
  });
  ids.addNumbers(IdKind::VmlShapeBlock, [](std::set<long>& used) { used.insert(4); });
  EXPECT_EQ(gathered, 0);
  EXPECT_FALSE(ids.claimName(IdKind::CodeName, "SHEET1"));
  EXPECT_TRUE(ids.claimName(IdKind::CodeName, "Sheet2"));
  EXPECT_FALSE(ids.claimName(IdKind::CodeName, "sheet2"));
  EXPECT_EQ(gathered, 1);
  EXPECT_EQ(ids.claimNextNumber(IdKind::VmlShapeBlock, 1, 6), 5);
  EXPECT_EQ(ids.claimNextNumber(IdKind::VmlShapeBlock, 1, 6), 6);
  EXPECT_EQ(ids.claimNextNumber(IdKind::VmlShapeBlock, 1, 6), std::nullopt);
  EXPECT_TRUE(ids.usesNumber(IdKind::VmlShapeBlock, 6));
}

TEST(RawWriter, StoresAnEntryUncompressedAndFirstWhenAsked) {
  test::TempDir dir;
  const std::string path = dir.file("a.ods");
  const int out = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(out, 0);
  {
    zip::Writer writer(-1, out, 1);
    writer.add("mimetype", "application/vnd.oasis.opendocument.spreadsheet",
               zip::Compression::Store);
    writer.add("content.xml", std::string(5000, 'x'));
    writer.finish("");
  }
  ::close(out);
  std::string head(38 + 8, '\0');
  const int in = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::pread(in, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ::close(in);
  // As OpenDocument asks: the name and the type readable at fixed offsets of the file.
  EXPECT_EQ(head.substr(30, 8), "mimetype");
  EXPECT_EQ(head.substr(38, 8), "applicat");
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  ASSERT_NE(archive, nullptr);
  zip_stat_t st;
  ASSERT_EQ(zip_stat_index(archive, 0, 0, &st), 0);
  EXPECT_EQ(st.comp_method, ZIP_CM_STORE);
  ASSERT_EQ(zip_stat_index(archive, 1, 0, &st), 0);
  EXPECT_EQ(st.comp_method, ZIP_CM_DEFLATE);
  EXPECT_EQ(st.size, 5000u);
  zip_discard(archive);
}

// A compound file written by libgsf itself: a Workbook stream and a VBA storage with a class id.
constexpr guint8 kClassId[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void writeCompound(const std::string& path) {
  gsf_init();
  GsfOutput* sink = gsf_output_stdio_new(path.c_str(), nullptr);
  GsfOutfile* root = gsf_outfile_msole_new(sink);
  auto stream = [](GsfOutfile* dir, const char* name, const std::string& bytes) {
    GsfOutput* out = gsf_outfile_new_child(dir, name, FALSE);
    gsf_output_write(out, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
    gsf_output_close(out);
    g_object_unref(out);
  };
  stream(root, "Workbook", std::string(5000, 'w'));
  GsfOutput* vba = gsf_outfile_new_child(root, "VBA", TRUE);
  gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(vba), kClassId);
  stream(GSF_OUTFILE(vba), "dir", "small");
  gsf_output_close(vba);
  g_object_unref(vba);
  gsf_output_close(GSF_OUTPUT(root));
  g_object_unref(root);
  g_object_unref(sink);
}

TEST(CompoundFileLayer, ReadsStreamsByPathAndRewritesKeepingClassIds) {
  test::TempDir dir;
  const std::string path = dir.file("a.xls"), copy = dir.file("b.xls");
  writeCompound(path);
  cfb::CompoundFile file(path, "a.xls");
  const std::vector<std::string> paths = file.streamPaths();
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
            (std::set<std::string>{"Workbook", "VBA/dir"}));
  // The probe's own bounded reader sees the same streams.
  std::vector<std::string> names = cfb::streamNames(path);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"Workbook", "dir"}));
  EXPECT_EQ(file.readStream("VBA/dir"), "small");
  EXPECT_FALSE(file.hasStream("VBA"));
  EXPECT_THROW(file.readStream("VBA/missing"), ServerError);

  const int out = ::open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(out, 0);
  file.writeTo(out, {{"VBA/dir", "changed"}, {"VBA/Sub/new", "added"}});
  ::close(out);
  cfb::CompoundFile written(copy, "b.xls");
  EXPECT_EQ(written.readStream("Workbook"), std::string(5000, 'w'));
  EXPECT_EQ(written.readStream("VBA/dir"), "changed");
  EXPECT_EQ(written.readStream("VBA/Sub/new"), "added");
  GsfInput* input = gsf_input_stdio_new(copy.c_str(), nullptr);
  GsfInfile* root = gsf_infile_msole_new(input, nullptr);
  GsfInput* vba = gsf_infile_child_by_name(root, "VBA");
  guint8 id[16] = {};
  ASSERT_TRUE(gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(vba), id));
  EXPECT_TRUE(std::equal(id, id + 16, kClassId));
  g_object_unref(vba);
  g_object_unref(root);
  g_object_unref(input);

  const std::string text = dir.file("c.xls");
  FILE* f = std::fopen(text.c_str(), "w");
  std::fputs("not a compound file", f);
  std::fclose(f);
  EXPECT_THROW(cfb::CompoundFile(text, "c.xls"), ServerError);
}

// An engine whose library fails in a way nobody planned for.
class FailingEngine : public Engine {
 public:
  int sheetCount() const override { return 1; }
  SheetId sheetAt(int) const override { return 1; }
  int positionOf(SheetId) const override { return 0; }
  std::string sheetName(SheetId) const override { return "Data"; }
  SheetKind sheetKind(SheetId) const override { throw std::invalid_argument("stoi"); }
  SheetVisibility sheetVisibility(SheetId) const override { return SheetVisibility::Visible; }
  SheetId activeSheet() const override { return 1; }
  std::optional<CopyBlocker> copyBlocker(SheetId) override { return std::nullopt; }
  SheetId copySheet(SheetId, SheetId) override { throw std::out_of_range("stol"); }
  void renameSheet(SheetId, const std::string&) override { throw std::logic_error("basic_string"); }
  void save() override { throw std::runtime_error("boom"); }
};

TEST(EngineBoundary, AnythingUnexpectedBecomesAServerErrorNamingTheOperationAndTheFile) {
  Workbook book("/tmp/Book.xlsx", std::make_unique<FailingEngine>());
  Sheet sheet = book.activeSheet();
  const std::string why =
      ": something in 'Book.xlsx' is not as Orvandel expects (the file may "
      "be damaged).";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { sheet.copy(sheet); }, "Cannot copy the sheet 'Data'" + why},
      {[&] { sheet.setName("X"); }, "Cannot rename the sheet 'Data'" + why},
      {[&] { sheet.kind(); }, "Cannot read the sheet 'Data'" + why},
      {[&] { book.save(); }, "Cannot save 'Book.xlsx'" + why},
  };
  for (const auto& [operation, message] : cases) {
    try {
      operation();
      ADD_FAILURE() << "no error for " << message;
    } catch (const ServerError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

}  // namespace
}  // namespace orv
