// The VBA project: a document module added for a copied sheet, read back stream by stream.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "server/application.h"
#include "server/cfb/compound_file.h"
#include "server/vba/compression.h"
#include "server/vba/vba_project.h"

namespace orv {
namespace {

std::string streamOf(const cfb::CompoundEntry& root, const std::string& path) {
  const cfb::CompoundEntry* at = &root;
  for (size_t start = 0; at;) {
    const size_t slash = path.find('/', start);
    at = cfb::findChild(*at, path.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return at ? at->data : "missing";
}

TEST(VbaCodec, ReadsTheFormatsPublishedExample) {
  // [MS-OVBA] 3.2.2 as published; its matcher takes other copies than ours, to the same text.
  const unsigned char packed[] = {0x01, 0x2F, 0xB0, 0x00, 0x23, 0x61, 0x61, 0x61, 0x62, 0x63, 0x64,
                                  0x65, 0x82, 0x66, 0x00, 0x70, 0x61, 0x67, 0x68, 0x69, 0x6A, 0x01,
                                  0x38, 0x08, 0x61, 0x6B, 0x6C, 0x00, 0x30, 0x6D, 0x6E, 0x6F, 0x70,
                                  0x06, 0x71, 0x02, 0x70, 0x04, 0x10, 0x72, 0x73, 0x74, 0x75, 0x76,
                                  0x10, 0x77, 0x78, 0x79, 0x7A, 0x00, 0x3C};
  EXPECT_EQ(vba::decompressVba(std::string(reinterpret_cast<const char*>(packed), sizeof packed)),
            "#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa");
}

struct ModuleCase {
  const char* label;
  std::vector<test::VbaModule> modules;
  const char* source;
  const char* localName;  // the source's name in the project's code page
  bool adds;              // false: refused, the project unchanged
};

class DocumentModule : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(DocumentModule, IsAddedWithTheSourcesCodeOrRefusedLeavingTheProject) {
  cfb::CompoundEntry project =
      cfb::readCompoundFile(test::vbaProjectBytes(GetParam().modules, true), "vbaProject.bin");
  const cfb::CompoundEntry before = project;
  if (!GetParam().adds) {
    EXPECT_THROW(vba::addDocumentModule(project, GetParam().source, "Sheet9"), vba::VbaError);
    EXPECT_EQ(cfb::writeCompoundFile(project), cfb::writeCompoundFile(before));
    return;
  }
  vba::addDocumentModule(project, GetParam().source, "Sheet9");
  EXPECT_TRUE(vba::hasModule(project, "sheet9"));
  // The source is the last module; its stream starts with a 40-byte compiled cache.
  std::string code =
      vba::decompressVba(streamOf(before, "VBA/" + GetParam().modules.back().name).substr(40));
  code.replace(code.find(GetParam().localName), std::string(GetParam().localName).size(), "Sheet9");
  EXPECT_EQ(vba::decompressVba(streamOf(project, "VBA/Sheet9")), code);
  // Office compiles the project afresh; the signature no longer holds and is gone.
  EXPECT_EQ(streamOf(project, "VBA/_VBA_PROJECT"), std::string("\xCC\x61\xFF\xFF\x00\x01\x00", 7));
  EXPECT_EQ(streamOf(project, "\005DigitalSignature"), "missing");
  const std::string text = streamOf(project, "PROJECT");
  EXPECT_LT(text.find("Document=Sheet9/&H00000000\r\n"), text.find("Name="));
  EXPECT_NE(text.find("[Workspace]\r\nSheet9=0, 0, 0, 0, C\r\n"), std::string::npos);
  EXPECT_TRUE(streamOf(project, "PROJECTwm")
                  .ends_with(std::string("Sheet9\0S\0h\0e\0e\0t\0009\0\0\0\0\0", 23)));
  // The other modules are kept byte for byte.
  for (const test::VbaModule& m : GetParam().modules)
    EXPECT_EQ(streamOf(project, "VBA/" + m.name), streamOf(before, "VBA/" + m.name));
}

INSTANTIATE_TEST_SUITE_P(
    Projects, DocumentModule,
    ::testing::Values(
        ModuleCase{"Ascii", {{"ThisWorkbook"}, {"Sheet1"}}, "SHEET1", "Sheet1", true},
        // Russian Excel's code name, named in code page 1251 and in Unicode.
        ModuleCase{
            "CodePage", {{"Лист1", "\xCB\xE8\xF1\xF2\x31"}}, "Лист1", "\xCB\xE8\xF1\xF2\x31", true},
        ModuleCase{"NoModule", {{"Sheet1"}}, "Sheet2", "", false},
        ModuleCase{"StandardModule", {{"Module1", {}, false}}, "Module1", "", false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(MacroWorkbookSignature, IsRemovedAndTheRunIsTold) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsm");
  test::writeMacroWorkbook(path, test::vbaProjectBytes({{"ThisWorkbook"}, {"DataSheet"}}));
  test::patchZip(
      path,
      {{"xl/_rels/vbaProject.bin.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"http://schemas.microsoft.com/office/2006/relationships/"
        "vbaProjectSignatureAgile\" Target=\"vbaProjectSignatureAgile.bin\"/></Relationships>"},
       {"xl/vbaProjectSignatureAgile.bin", "signed"}});
  auto app = createApplication();
  std::vector<std::string> notices;
  app->onNotice([&](const std::string& notice) { notices.push_back(notice); });
  Workbook& book = app->workbooks().open(path);
  book.sheets().item("Data").copy(book.sheets().item(2));
  book.sheets().item("Data").copy(book.sheets().item(3));
  book.save();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("signature"), std::string::npos);
  EXPECT_TRUE(test::zipPart(path, "xl/vbaProjectSignatureAgile.bin").empty());
  EXPECT_TRUE(test::zipPart(path, "xl/_rels/vbaProject.bin.rels").empty());
  const cfb::CompoundEntry project =
      cfb::readCompoundFile(test::zipPart(path, "xl/vbaProject.bin"), "");
  EXPECT_TRUE(vba::hasModule(project, "DataSheet1") && vba::hasModule(project, "DataSheet2"));
}

}  // namespace
}  // namespace orv
