// Formats are told by their content; everything but transitional Open XML is refused with a
// message naming what the file is.
#include "server/format.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures.h"
#include "server/application.h"

namespace orv {
namespace {

// A compound file whose directory holds a root entry and one stream `stream`.
std::string compoundFile(const std::string& stream) {
  std::string file(1024, '\0');
  const unsigned char magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  file.replace(0, 8, reinterpret_cast<const char*>(magic), 8);
  auto entry = [&](size_t at, const std::string& name, char type) {
    for (size_t i = 0; i < name.size(); ++i) file[at + 2 * i] = name[i];
    file[at + 64] = static_cast<char>(2 * (name.size() + 1));
    file[at + 66] = type;
  };
  entry(512, "Root Entry", 5);
  entry(640, stream, 2);
  return file;
}

const std::string kTypes =
    "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/"
    "content-types\"><Override PartName=\"/xl/workbook.xml\" ContentType=\"";
const std::string kRels =
    "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/"
    "2006/relationships\"><Relationship Id=\"rId1\" Type=\"";

struct Case {
  const char* label;
  FileFormat format;
  const char* words;  // the message names the format in these words
  std::function<void(const std::string& path)> write;
};

class Refusal : public ::testing::TestWithParam<Case> {};

TEST_P(Refusal, IsDetectedByContentAndRefusedInTheUsersWords) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");  // every case wears a workbook's name
  GetParam().write(path);
  const std::string before = test::readFile(path);
  EXPECT_EQ(detectFormat(path), GetParam().format);
  auto app = createApplication();
  try {
    app->workbooks().open(path);
    FAIL() << "opened";
  } catch (const ServerError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Cannot open 'Book.xlsx': ", 0), 0u) << message;
    EXPECT_NE(message.find(GetParam().words), std::string::npos) << message;
  }
  EXPECT_EQ(app->workbooks().count(), 0);
  EXPECT_EQ(test::readFile(path), before);
}

const Case kCases[] = {
    {"EncryptedOpenXml", FileFormat::OoxmlEncrypted, "password",
     [](const std::string& p) { test::writeFile(p, compoundFile("EncryptedPackage")); }},
    // An .xls is opened; this one's compound file has a directory and nothing else.
    {"DamagedXls", FileFormat::Biff8, "damaged",
     [](const std::string& p) { test::writeFile(p, compoundFile("Workbook")); }},
    {"Excel95", FileFormat::BiffOld, "Excel 5.0/95",
     [](const std::string& p) { test::writeFile(p, compoundFile("Book")); }},
    {"Excel4", FileFormat::BiffOld, "Excel 5.0/95 or older",
     [](const std::string& p) {
       test::writeFile(p, std::string("\x09\x04\x06\x00\x00\x00\x10\x00", 8));
     }},
    // Strict workbooks are opened in their own namespaces: this one is refused for what it lacks.
    {"Strict", FileFormat::OoxmlStrict, "lists no sheets",
     [](const std::string& p) {
       test::writeZip(p, {{"[Content_Types].xml",
                           kTypes + "application/vnd.openxmlformats-officedocument.spreadsheetml."
                                    "sheet.main+xml\"/></Types>"},
                          {"_rels/.rels", kRels + "http://purl.oclc.org/ooxml/officeDocument/"
                                                  "relationships/officeDocument\" Target=\"xl/"
                                                  "workbook.xml\"/></Relationships>"},
                          {"xl/workbook.xml",
                           "<workbook xmlns=\"http://purl.oclc.org/ooxml/spreadsheetml/main\"/>"}});
     }},
    {"Xlsb", FileFormat::Xlsb, ".xlsb",
     [](const std::string& p) {
       test::writeZip(p,
                      {{"[Content_Types].xml", kTypes + "x\"/></Types>"},
                       {"_rels/.rels", kRels + "http://schemas.openxmlformats.org/officeDocument/"
                                               "2006/relationships/officeDocument\" Target=\"xl/"
                                               "workbook.bin\"/></Relationships>"},
                       {"xl/workbook.bin", std::string(16, '\x01')}});
     }},
    // An .ods is opened; this one's content is not a spreadsheet's.
    {"DamagedOds", FileFormat::Ods, "damaged (content.xml",
     [](const std::string& p) {
       test::writeZip(p, {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
                          {"content.xml", "<office:document-content/>"}});
     }},
    {"FlatOds", FileFormat::FlatOds, "flat OpenDocument Spreadsheet (.fods",
     [](const std::string& p) {
       test::writeFile(p,
                       "<?xml version=\"1.0\"?><office:document xmlns:office=\"urn:oasis:names:"
                       "tc:opendocument:xmlns:office:1.0\" office:mimetype=\"application/"
                       "vnd.oasis.opendocument.spreadsheet\"/>");
     }},
    {"EncryptedOds", FileFormat::OdsEncrypted, "password-protected OpenDocument",
     [](const std::string& p) {
       test::writeZip(p, {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
                          {"META-INF/manifest.xml",
                           "<manifest:manifest><manifest:file-entry><manifest:encryption-data/>"
                           "</manifest:file-entry></manifest:manifest>"}});
     }},
    {"WordDocument", FileFormat::Unknown, "not a workbook",
     [](const std::string& p) {
       test::writeZip(p,
                      {{"[Content_Types].xml", "<Types/>"},
                       {"_rels/.rels", kRels + "http://schemas.openxmlformats.org/officeDocument/"
                                               "2006/relationships/officeDocument\" Target=\"word/"
                                               "document.xml\"/></Relationships>"},
                       {"word/document.xml", "<w:document/>"}});
     }},
    {"Html", FileFormat::Html, "web page",
     [](const std::string& p) {
       test::writeFile(p, "<html><body><table><tr><td>1</td></tr></table></body></html>");
     }},
    {"XmlSpreadsheet", FileFormat::Xml, "XML file",
     [](const std::string& p) {
       test::writeFile(p,
                       "<?xml version=\"1.0\"?><Workbook xmlns=\"urn:schemas-microsoft-com:"
                       "office:spreadsheet\"/>");
     }},
    {"Csv", FileFormat::Text, "text file",
     [](const std::string& p) { test::writeFile(p, "a,b\n1,2\n"); }},
    {"Empty", FileFormat::Empty, "empty", [](const std::string& p) { test::writeFile(p, ""); }},
    {"Binary", FileFormat::Unknown, "not a workbook",
     [](const std::string& p) {
       test::writeFile(p, std::string("\x7F"
                                      "ELF\x02\x01\x01\0\0\0",
                                      10));
     }},
    {"TruncatedZip", FileFormat::DamagedZip, "damaged",
     [](const std::string& p) {
       test::writePlainWorkbook(p);
       std::string bytes = test::readFile(p);
       test::writeFile(p, bytes.substr(0, bytes.size() / 2));
     }},
    {"MalformedWorkbookXml", FileFormat::Ooxml, "damaged (xl/workbook.xml: malformed XML",
     [](const std::string& p) {
       test::writePlainWorkbook(p);
       test::patchZip(p, {{"xl/workbook.xml", "<workbook><sheets><sheet name=\"a\"></workbook>"}});
     }},
    {"NoSheets", FileFormat::Ooxml, "lists no sheets",
     [](const std::string& p) {
       test::writePlainWorkbook(p);
       test::patchZip(p, {{"xl/workbook.xml",
                           "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/"
                           "main\"><sheets/></workbook>"}});
     }},
};

INSTANTIATE_TEST_SUITE_P(Formats, Refusal, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Formats, StrictWorkbookIsCopiedInItsOwnNamespaces) {
  test::TempDir dir;
  const std::string path = dir.file("Strict.xlsx");
  const std::string strictRel = "http://purl.oclc.org/ooxml/officeDocument/relationships/";
  test::writeZip(
      path,
      {{"[Content_Types].xml",
        kTypes + "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                 "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
                 "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/><Default "
                 "Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package."
                 "relationships+xml\"/></Types>"},
       {"_rels/.rels", kRels + strictRel +
                           "officeDocument\" Target=\"xl/workbook.xml\"/>"
                           "</Relationships>"},
       {"xl/_rels/workbook.xml.rels", kRels + strictRel +
                                          "worksheet\" Target=\"worksheets/sheet1.xml\"/>"
                                          "</Relationships>"},
       {"xl/workbook.xml",
        "<workbook xmlns=\"http://purl.oclc.org/ooxml/spreadsheetml/main\" xmlns:r=\"" +
            strictRel.substr(0, strictRel.size() - 1) +
            "\" conformance=\"strict\"><sheets><sheet name=\"Data\" sheetId=\"1\" "
            "r:id=\"rId1\"/></sheets></workbook>"},
       {"xl/worksheets/sheet1.xml",
        "<worksheet xmlns=\"http://purl.oclc.org/ooxml/spreadsheetml/main\"><sheetData><row "
        "r=\"1\"><c r=\"A1\"><f>Data!A2*2</f></c></row></sheetData></worksheet>"}});
  {
    auto app = createApplication();
    Workbook& book = app->workbooks().open(path);
    book.sheets().item("Data").copy(book.sheets().item(1));
    book.save();
  }
  EXPECT_EQ(detectFormat(path), FileFormat::OoxmlStrict);
  const std::string copy = test::zipPart(path, test::sheetPartOf(path, "Data (2)"));
  EXPECT_NE(copy.find("xmlns=\"http://purl.oclc.org/ooxml/spreadsheetml/main\""),
            std::string::npos);
  EXPECT_NE(copy.find("<f>'Data (2)'!A2*2</f>"), std::string::npos) << copy;
  const std::string rels = test::zipPart(path, "xl/_rels/workbook.xml.rels");
  EXPECT_EQ(rels.find("schemas.openxmlformats.org/officeDocument"), std::string::npos) << rels;
  auto app = createApplication();
  EXPECT_EQ(app->workbooks().open(path).sheets().count(), 2);
}

TEST(Formats, MissingFileIsReportedByName) {
  auto app = createApplication();
  try {
    app->workbooks().open("/nonexistent/folder/Book.xlsx");
    FAIL() << "opened";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("'Book.xlsx'"), std::string::npos) << e.what();
  }
}

TEST(Formats, WorkbookUnderAnyNameOpens) {
  test::TempDir dir;
  const std::string path = dir.file("report.dat");
  test::writePlainWorkbook(path);
  EXPECT_EQ(detectFormat(path), FileFormat::Ooxml);
  auto app = createApplication();
  EXPECT_EQ(app->workbooks().open(path).worksheets().count(), 2);
}

// A workbook saved by this process and opened again goes straight to its engine, unprobed; one
// that another program put in its place is probed like any other file.
TEST(Formats, AWorkbookReplacedAfterASaveIsProbedAgain) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  auto app = createApplication();
  {
    Workbook& book = app->workbooks().open(path);
    book.sheets().item("Data").copy(book.sheets().item(2));
    book.save();
    app->workbooks().closeAll();
  }
  EXPECT_EQ(app->workbooks().open(path).sheets().count(), 3);
  app->workbooks().closeAll();
  test::writeFile(path + ".new", "Name;Amount\nA;1\n");
  std::filesystem::rename(path + ".new", path);
  try {
    app->workbooks().open(path);
    FAIL() << "opened";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("text file"), std::string::npos) << e.what();
  }
}

TEST(Formats, MalformedSheetFailsTheCopyAndLeavesTheFile) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  test::patchZip(path, {{"xl/worksheets/sheet1.xml", "<worksheet><sheetData>"}});
  const std::string before = test::readFile(path);
  auto app = createApplication();
  Workbook& book = app->workbooks().open(path);
  EXPECT_THROW(book.sheets().item("Data").copy(book.sheets().item(2)), ServerError);
  EXPECT_EQ(book.sheets().count(), 2);
  book.save();
  EXPECT_EQ(test::readFile(path), before);
}

}  // namespace
}  // namespace orv
