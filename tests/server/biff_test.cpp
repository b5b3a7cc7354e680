// The Excel 97-2003 engine: its record layer, the formula walker, and copies of workbooks built
// here record by record or taken from the shared corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "server/biff/biff_engine.h"
#include "server/biff/formula.h"
#include "server/biff/records.h"
#include "server/biff/workbook_stream.h"
#include "server/cfb/compound_file.h"
#include "server/server_error.h"
#include "server/vba/compression.h"
#include "tests/support/fixtures.h"

namespace orv::biff {
namespace {

using cfb::CompoundEntry;
using cfb::findChild;
using cfb::readCompoundFile;
using cfb::writeCompoundFile;
using test::TempDir;
using vba::compressVba;
using vba::decompressVba;
using vba::VbaError;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// ---- Records ----

TEST(BiffRecords, LongDataIsSplitAtTheLimitAndJoinedAgain) {
  for (size_t size : {size_t{0}, size_t{1}, kMaxRecordData, kMaxRecordData + 1, size_t{20000}}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7);
    std::vector<Record> parts = splitRecord(sid::kName, data);
    EXPECT_EQ(parts.size(), std::max<size_t>(1, (size + kMaxRecordData - 1) / kMaxRecordData));
    std::string stream;
    for (const Record& r : parts) {
      EXPECT_LE(r.data.size(), kMaxRecordData);
      appendRecord(stream, r);
    }
    std::vector<Record> read;
    for (RecordReader reader(stream); !reader.atEnd();) read.push_back(reader.next());
    ASSERT_EQ(read.size(), parts.size());
    EXPECT_EQ(read[0].sid, sid::kName);
    size_t end = 0;
    EXPECT_EQ(logicalData(read, 0, &end), data) << size;
    EXPECT_EQ(end, read.size());
  }
}

TEST(BiffRecords, CutShortStreamsAreRefused) {
  for (const std::string& stream :
       {bytes({0x09, 0x08, 0x10}), bytes({0x09, 0x08, 0x10, 0x00, 1})}) {
    RecordReader reader(stream);
    EXPECT_THROW(reader.next(), RecordError);
  }
}

TEST(BiffRecords, StringsRoundTripInOneOrTwoBytesPerCharacter) {
  for (const std::string text : {"Data", "Données", "表 sheet", "𝔸"}) {
    size_t units = 0;
    std::string stored = writeBiffChars(text, &units);
    EXPECT_EQ(stored[0] != 0, text == "表 sheet" || text == "𝔸") << text;
    EXPECT_EQ(readBiffChars(stored, 0, units), text);
  }
}

// ---- VBA compression ----

TEST(BiffVbaCodec, MatchesTheFormatsExamplesAndRoundTrips) {
  const std::vector<std::pair<std::string, std::string>> examples = {
      {"abcdefghijklmnopqrstuv.", bytes({0x01, 0x19, 0xB0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66,
                                         0x67, 0x68, 0x00, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
                                         0x70, 0x00, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x2E})},
      {"#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa",
       bytes({0x01, 0x2F, 0xB0, 0x00, 0x23, 0x61, 0x61, 0x61, 0x62, 0x63, 0x64, 0x65, 0x82,
              0x66, 0x00, 0x70, 0x61, 0x67, 0x68, 0x69, 0x6A, 0x01, 0x38, 0x08, 0x61, 0x6B,
              0x6C, 0x00, 0x20, 0x6D, 0x6E, 0x6F, 0x70, 0x06, 0x71, 0x02, 0x70, 0x04, 0x00,
              0x72, 0x73, 0x74, 0x75, 0x76, 0x10, 0x77, 0x78, 0x79, 0x7A, 0x00, 0x2C})},
  };
  for (const auto& [plain, packed] : examples) {
    EXPECT_EQ(compressVba(plain), packed);
    EXPECT_EQ(decompressVba(packed), plain);
  }
  for (size_t size : {0, 1, 4095, 4096, 4097, 8192, 8193}) {
    std::string text, noise;
    std::uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
      text.push_back("Sub Run()\r\n  Range(\"A1\").Value = 1\r\nEnd Sub\r\n"[i % 44]);
      x = x * 1103515245 + 12345;
      noise.push_back(static_cast<char>(x >> 24));
    }
    EXPECT_TRUE(decompressVba(compressVba(text)) == text) << size;
    // Incompressible data goes in raw chunks, whole ones only: a short last one would be padded.
    if (size % 4096 == 0) {
      EXPECT_TRUE(decompressVba(compressVba(noise)) == noise) << size;
    }
  }
  for (const std::string& bad :
       {std::string(), bytes({0}), bytes({1, 0x19}), bytes({1, 0x19, 0x30, 0}),
        bytes({1, 0x03, 0xB0, 0x01, 0x00, 0x10}), bytes({1, 0x05, 0x30, 0})}) {
    EXPECT_THROW(decompressVba(bad), VbaError);
  }
}

// ---- Formula tokens ----

struct WalkCase {
  const char* what;
  std::string tokens;
  std::string expected;  // after the remap below; empty when the walk must refuse
};

class BiffFormula : public testing::TestWithParam<WalkCase> {};

// Sheet references: XTI 1 becomes 9. Names: 2 becomes 7.
TEST_P(BiffFormula, RetargetsEveryReferenceAndSizesEveryToken) {
  const WalkCase& c = GetParam();
  FormulaRemap remap;
  remap.xti = [](std::uint16_t x) -> std::uint16_t { return x == 1 ? 9 : x; };
  remap.name = [](std::uint32_t n) { return n == 2 ? 7u : n; };
  remap.nameX = [](std::uint16_t, std::uint32_t n) { return n == 2 ? 7u : n; };
  std::string d = "xx" + c.tokens;
  if (c.expected.empty()) {
    EXPECT_THROW(walkFormula(d, 2, c.tokens.size(), &remap), RecordError) << c.what;
    return;
  }
  walkFormula(d, 2, c.tokens.size(), &remap);
  EXPECT_EQ(d.substr(2), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, BiffFormula,
    testing::Values(
        WalkCase{"ref3d", bytes({0x3A, 1, 0, 2, 0, 3, 0}), bytes({0x3A, 9, 0, 2, 0, 3, 0})},
        WalkCase{"area3d value class, other sheet", bytes({0x5B, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0}),
                 bytes({0x5B, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0})},
        WalkCase{"areaErr3d + refErr3d",
                 bytes({0x3D, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7C, 1, 0, 0, 0, 0, 0}),
                 bytes({0x3D, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7C, 9, 0, 0, 0, 0, 0})},
        WalkCase{"name and nameX", bytes({0x23, 2, 0, 0, 0, 0x39, 1, 0, 2, 0, 0, 0}),
                 bytes({0x23, 7, 0, 0, 0, 0x39, 9, 0, 7, 0, 0, 0})},
        WalkCase{"wide string then ref3d",
                 bytes({0x17, 2, 1, 0x3A, 0, 0x3A, 0, 0x3A, 1, 0, 0, 0, 0, 0}),
                 bytes({0x17, 2, 1, 0x3A, 0, 0x3A, 0, 0x3A, 9, 0, 0, 0, 0, 0})},
        WalkCase{"choose jump table", bytes({0x19, 0x04, 1, 0, 4, 0, 9, 0, 0x3A, 1, 0, 0, 0, 0, 0}),
                 bytes({0x19, 0x04, 1, 0, 4, 0, 9, 0, 0x3A, 9, 0, 0, 0, 0, 0})},
        WalkCase{"memFunc is three bytes, its expression walked",
                 bytes({0x29, 7, 0, 0x3A, 1, 0, 0, 0, 0, 0, 0x1E, 5, 0}),
                 bytes({0x29, 7, 0, 0x3A, 9, 0, 0, 0, 0, 0, 0x1E, 5, 0})},
        WalkCase{"memArea is seven bytes",
                 bytes({0x26, 0, 0, 0, 0, 11, 0, 0x3B, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                 bytes({0x26, 0, 0, 0, 0, 11, 0, 0x3B, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        WalkCase{"number, int, bool, operators",
                 bytes({0x1F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0x1E, 2, 0, 0x1D, 1, 0x03, 0x15}),
                 bytes({0x1F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0x1E, 2, 0, 0x1D, 1, 0x03, 0x15})},
        WalkCase{"unknown token", bytes({0x18, 1, 0, 0}), ""},
        WalkCase{"token cut short", bytes({0x3A, 1, 0, 0}), ""},
        WalkCase{"string longer than the formula", bytes({0x17, 9, 0, 65}), ""}),
    [](const testing::TestParamInfo<WalkCase>& info) {
      return "case" + std::to_string(info.index);
    });

// ---- A workbook built record by record ----

// Globals: two sheets "Data" and "Other", this workbook as SUPBOOK 0, XTIs (0: Data, 1: Other),
// a print area scoped to Data and a workbook name. Data: a row block (INDEX, ROW, FORMULA, DBCELL),
// a formula =Data!A1+Other!A1+PtgName(print area), a code name and a selected window.
struct BuiltBook {
  static Record rec(std::uint16_t id, std::string data) {
    Record r;
    r.sid = id;
    r.data = std::move(data);
    return r;
  }
  static std::string boundSheet(const std::string& name) {
    return bytes({0, 0, 0, 0, 0, 0, static_cast<int>(name.size()), 0}) + name;
  }
  static std::vector<Record> sheet(bool withFormula) {
    std::vector<Record> s;
    s.push_back(rec(sid::kBof, bytes({0, 6, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
    s.push_back(rec(sid::kIndex, std::string(20, '\0')));
    s.push_back(rec(sid::kDefColWidth, bytes({8, 0})));
    s.push_back(rec(0x0208, std::string(16, '\0')));
    if (withFormula) {
      // PtgRef3d(XTI 0) PtgRef3d(XTI 1) PtgAdd PtgName(1) PtgAdd
      std::string tokens =
          bytes({0x3A, 0, 0, 0, 0, 0, 0, 0x3A, 1, 0, 0, 0, 0, 0, 0x03, 0x23, 1, 0, 0, 0, 0x03});
      std::string f(20, '\0');
      f += static_cast<char>(tokens.size());
      f += '\0';
      s.push_back(rec(sid::kFormula, f + tokens));
    }
    s.push_back(rec(sid::kDbCell, std::string(6, '\0')));
    s.push_back(
        rec(sid::kWindow2, bytes({0xB6, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
    s.push_back(rec(sid::kCodeName, bytes({6, 0, 0}) + "Sheet1"));
    s.push_back(rec(sid::kEof, ""));
    return s;
  }
  using Edit = std::function<void(WorkbookStream&)>;
  static std::string stream(const Edit& edit = nullptr) {
    WorkbookStream book;
    auto& g = book.globals;
    g.push_back(rec(sid::kBof, bytes({0, 6, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
    g.push_back(rec(sid::kTabId, bytes({1, 0, 2, 0})));
    g.push_back(rec(sid::kWindow1, std::string(18, '\0')));
    g.push_back(rec(sid::kBoundSheet, boundSheet("Data")));
    g.push_back(rec(sid::kBoundSheet, boundSheet("Other")));
    g.push_back(rec(sid::kSupBook, bytes({2, 0, 1, 4})));
    g.push_back(rec(sid::kExternSheet, bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0})));
    // Print_Area (built-in 0x06) of Data: PtgArea3d on XTI 0.
    std::string area = bytes({0x3B, 0, 0, 0, 0, 9, 0, 0, 0, 3, 0});
    g.push_back(rec(sid::kName, bytes({0x20, 0, 0, 1, static_cast<int>(area.size()), 0, 0, 0, 1, 0,
                                       0, 0, 0, 0, 0, 6}) +
                                    area));
    g.push_back(rec(sid::kName, bytes({0, 0, 0, 5, static_cast<int>(area.size()), 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0}) +
                                    "Total" + area));
    g.push_back(rec(sid::kSst, bytes({0, 0, 0, 0, 0, 0, 0, 0})));
    g.push_back(rec(sid::kExtSst, bytes({8, 0})));
    g.push_back(rec(sid::kEof, ""));
    book.sheets.push_back({"Data", 0, 0, 3, sheet(true), {}, {}});
    book.sheets.push_back({"Other", 0, 0, 4, sheet(false), {}, {}});
    book.sheets[1].records[6].data = bytes({5, 0, 0}) + "Sheet";  // code name "Sheet"
    if (edit) edit(book);
    return writeWorkbookStream(book);
  }
  static void write(const std::string& path, bool vba = false, const Edit& edit = nullptr) {
    CompoundEntry root;
    root.storage = true;
    root.classId = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    root.children.push_back({"Workbook", false, {}, stream(edit), {}});
    root.children.push_back({"\005SummaryInformation", false, {}, std::string(5000, 'S'), {}});
    CompoundEntry storage{"ObjectPool", true, {}, {}, {}};
    storage.classId[0] = 7;
    storage.children.push_back({"\001Ole", false, {}, "ole", {}});
    root.children.push_back(storage);
    if (vba) root.children.push_back({"_VBA_PROJECT_CUR", true, {}, {}, {}});
    test::writeFile(path, writeCompoundFile(root));
  }
};

// Checks what every reader of the stream relies on: each BOUNDSHEET8 position is a BOF, each
// INDEX points at its sheet's DBCELL and DEFCOLWIDTH records. Returns the parsed stream.
WorkbookStream checkPositions(const std::string& stream) {
  WorkbookStream book = parseWorkbookStream(stream);
  std::set<std::uint32_t> bofs;
  for (const WorkbookStream::Sheet& s : book.sheets) {
    const std::uint32_t at = get32(book.globals[s.boundSheet].data, 0);
    EXPECT_EQ(get16(stream, at), sid::kBof);
    EXPECT_TRUE(bofs.insert(at).second);
    const size_t index = findTopLevel(s.records, sid::kIndex);
    if (index == s.records.size()) continue;
    const std::string& d = s.records[index].data;
    EXPECT_EQ(get16(stream, get32(d, 12)), sid::kDefColWidth);
    for (size_t k = 16; k + 4 <= d.size(); k += 4)
      EXPECT_EQ(get16(stream, get32(d, k)), sid::kDbCell);
  }
  return book;
}

// OfficeArt records of d[at, end), containers before their children: (type, instance, data
// offset, length).
struct Art {
  unsigned type, inst;
  size_t at, length;
};
void walkArt(const std::string& d, size_t at, size_t end, std::vector<Art>& out) {
  while (at + 8 <= end) {
    const unsigned verInst = get16(d, at);
    const Art a{get16(d, at + 2), verInst >> 4, at + 8, get32(d, at + 4)};
    ASSERT_LE(a.at + a.length, end);
    out.push_back(a);
    if ((verInst & 0xF) == 0xF) walkArt(d, a.at, a.at + a.length, out);
    at = a.at + a.length;
  }
}

// Checks the drawings of every substream against the drawing group: drawing ids unique, every
// shape id unique and inside a cluster its drawing owns, BLIP reference counts covering the
// shapes that show them.
void checkDrawings(const WorkbookStream& book) {
  std::string group;
  for (size_t i = 0; i < book.globals.size(); ++i)
    if (book.globals[i].sid == sid::kMsoDrawingGroup) group = logicalData(book.globals, i);
  std::vector<Art> dgg;
  walkArt(group, 0, group.size(), dgg);
  std::vector<std::uint32_t> owner;
  std::vector<std::uint32_t> refs, counted;
  for (const Art& a : dgg) {
    if (a.type == 0xF006)
      for (size_t k = a.at + 16; k < a.at + a.length; k += 8) owner.push_back(get32(group, k));
    if (a.type == 0xF007) refs.push_back(get32(group, a.at + 24));
  }
  counted.assign(refs.size(), 0);
  std::set<std::uint32_t> dgids, spids;
  for (const WorkbookStream::Sheet& sheet : book.sheets) {
    std::vector<std::string> drawings;  // by substream, in order of their BOF
    std::vector<size_t> open;
    bool continuing = false;
    for (const Record& r : sheet.records) {
      if (r.sid == sid::kBof) open.push_back(~size_t{0});
      if (r.sid == sid::kMsoDrawing || (r.sid == sid::kContinue && continuing)) {
        if (open.back() == ~size_t{0}) open.back() = drawings.size(), drawings.emplace_back();
        drawings[open.back()] += r.data;
      }
      if (r.sid == sid::kEof) open.pop_back();
      continuing = r.sid == sid::kMsoDrawing || (r.sid == sid::kContinue && continuing);
    }
    for (const std::string& d : drawings) {
      std::vector<Art> arts;
      walkArt(d, 0, d.size(), arts);
      std::uint32_t dgid = 0;
      for (const Art& a : arts) {
        if (a.type == 0xF008) {
          dgid = a.inst;
          EXPECT_TRUE(dgids.insert(dgid).second) << sheet.name << ": drawing id " << dgid;
        }
        if (a.type == 0xF00A) {
          const std::uint32_t spid = get32(d, a.at);
          EXPECT_TRUE(spids.insert(spid).second) << sheet.name << ": shape id " << spid;
          ASSERT_GE(spid >> 10, 1u);
          ASSERT_LE(spid >> 10, owner.size());
          EXPECT_EQ(owner[(spid >> 10) - 1], dgid) << sheet.name << ": shape id " << spid;
        }
        if (a.type == 0xF00B)
          for (size_t k = 0; k < a.inst; ++k)
            if (get16(d, a.at + 6 * k) == 0x4104) {
              const std::uint32_t blip = get32(d, a.at + 6 * k + 2);
              if (blip >= 1 && blip <= counted.size()) ++counted[blip - 1];
            }
      }
    }
  }
  for (size_t k = 0; k < refs.size(); ++k) EXPECT_GE(refs[k], counted[k]) << "BLIP " << k + 1;
}

// In a macro workbook every sheet code name has a document module listed in both the module
// list and PROJECT, whose code names itself; the compiled caches are gone once it changed.
void checkMacros(const CompoundEntry& root, const WorkbookStream& book) {
  const CompoundEntry* project = findChild(root, "_VBA_PROJECT_CUR");
  if (!project) return;
  const CompoundEntry* vba = findChild(*project, "VBA");
  ASSERT_NE(vba, nullptr);
  const std::string dir = decompressVba(findChild(*vba, "dir")->data);
  const std::string text = findChild(*project, "PROJECT")->data;
  for (const WorkbookStream::Sheet& sheet : book.sheets) {
    const size_t at = findTopLevel(sheet.records, sid::kCodeName);
    if (at == sheet.records.size()) continue;
    const std::string code =
        readBiffChars(sheet.records[at].data, 2, get16(sheet.records[at].data, 0));
    EXPECT_NE(text.find("Document=" + code + "/"), std::string::npos) << code;
    const CompoundEntry* module = findChild(*vba, code);
    ASSERT_NE(module, nullptr) << code;
    if (module->data.size() < 400) {  // one made by a copy: its source from the start
      EXPECT_NE(decompressVba(module->data).find("Attribute VB_Name = \"" + code + "\""),
                std::string::npos);
      EXPECT_EQ(findChild(*vba, "_VBA_PROJECT")->data.size(), 7u);
    }
    EXPECT_NE(dir.find(code), std::string::npos) << code;
  }
}

std::string workbookOf(const std::string& path) {
  CompoundEntry root = readCompoundFile(test::readFile(path), "book.xls");
  const CompoundEntry* w = findChild(root, "Workbook");
  return w ? w->data : std::string();
}

TEST(BiffEngineBuilt, CopyRetargetsItsOwnReferencesClonesItsNamesAndKeepsTheRest) {
  TempDir dir;
  const std::string path = dir.file("book.xls");
  BuiltBook::write(path);
  {
    BiffEngine engine(path);
    ASSERT_EQ(engine.sheetCount(), 2);
    EXPECT_EQ(engine.sheetCount(), 2);
    const SheetId copy = engine.copySheet(engine.sheetAt(0), engine.sheetAt(1));
    EXPECT_EQ(engine.sheetName(copy), "Data (2)");
    engine.renameSheet(copy, "Données");
    EXPECT_THROW(engine.renameSheet(copy, "other"), ServerError);
    EXPECT_THROW(engine.copySheet(engine.sheetAt(0), engine.sheetAt(0)), ServerError);
    engine.save();
  }
  const std::string stream = workbookOf(path);
  WorkbookStream book = checkPositions(stream);
  ASSERT_EQ(book.sheets.size(), 3u);
  EXPECT_EQ(book.sheets[2].name, "Données");

  // A third XTI names the copy (position 2); the formula's own-sheet reference uses it.
  size_t at = findTopLevel(book.globals, sid::kExternSheet);
  EXPECT_EQ(book.globals[at].data,
            bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 2, 0, 2, 0}));
  const Record& formula =
      book.sheets[2].records[findTopLevel(book.sheets[2].records, sid::kFormula)];
  EXPECT_EQ(formula.data.substr(22),
            bytes({0x3A, 2, 0, 0, 0, 0, 0, 0x3A, 1, 0, 0, 0, 0, 0, 0x03, 0x23, 3, 0, 0, 0, 0x03}));
  const Record& original =
      book.sheets[0].records[findTopLevel(book.sheets[0].records, sid::kFormula)];
  EXPECT_EQ(original.data.substr(22, 2), bytes({0x3A, 0}));

  // The print area (scoped to Data) and the workbook name "Total" (which refers to Data only)
  // are cloned for the copy (itab 3, XTI 2) after the existing names.
  std::vector<std::string> names;
  for (const Record& r : book.globals)
    if (r.sid == sid::kName) names.push_back(r.data);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(get16(names[2], 8), 3);
  EXPECT_EQ(names[2].substr(16), bytes({0x3B, 2, 0, 0, 0, 9, 0, 0, 0, 3, 0}));
  EXPECT_EQ(get16(names[3], 8), 3);
  EXPECT_EQ(names[3].substr(15, 5), "Total");
  EXPECT_EQ(names[3].substr(20, 2), bytes({0x3B, 2}));
  EXPECT_EQ(names[1].substr(20, 2), bytes({0x3B, 0}));

  // Tab ids, the self reference's sheet count, the window and code name of the copy.
  EXPECT_EQ(book.globals[findTopLevel(book.globals, sid::kTabId)].data, bytes({1, 0, 2, 0, 3, 0}));
  EXPECT_EQ(get16(book.globals[findTopLevel(book.globals, sid::kSupBook)].data, 0), 3);
  const auto& copy = book.sheets[2].records;
  EXPECT_EQ(get16(copy[findTopLevel(copy, sid::kWindow2)].data, 0) & 0x0600, 0);
  EXPECT_EQ(copy[findTopLevel(copy, sid::kCodeName)].data, bytes({6, 0, 0}) + "Sheet3");

  // Every other stream and storage, with its class id, is as it was.
  CompoundEntry root = readCompoundFile(test::readFile(path), "book.xls");
  EXPECT_EQ(root.classId[0], 0x20);
  ASSERT_NE(findChild(root, "\005SummaryInformation"), nullptr);
  EXPECT_EQ(findChild(root, "\005SummaryInformation")->data, std::string(5000, 'S'));
  const CompoundEntry* pool = findChild(root, "ObjectPool");
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->classId[0], 7);
  ASSERT_EQ(pool->children.size(), 1u);
  EXPECT_EQ(pool->children[0].data, "ole");
}

// Every directory entry of a saved file is a storage, a stream, the root or all unused: an entry
// left holding whatever lay in memory makes other readers refuse the file (and leaks that memory).
TEST(BiffEngineBuilt, SavedFileHasOnlyWellFormedDirectoryEntries) {
  TempDir dir;
  const std::string path = dir.file("book.xls");
  BuiltBook::write(path);
  {
    BiffEngine engine(path);
    engine.copySheet(engine.sheetAt(0), engine.sheetAt(1));
    engine.save();
  }
  const std::string file = test::readFile(path);
  ASSERT_GE(file.size(), 1024u);
  auto u32 = [&](size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(file[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 3])) << 24;
  };
  const size_t directory = (static_cast<size_t>(u32(48)) + 1) * 512;
  ASSERT_LE(directory + 512, file.size());
  for (size_t entry = directory; entry < directory + 512; entry += 128) {
    const unsigned nameBytes = u32(entry + 64) & 0xFFFF;
    const unsigned type = static_cast<unsigned char>(file[entry + 66]);
    SCOPED_TRACE(entry);
    EXPECT_TRUE(type == 0 || type == 1 || type == 2 || type == 5);
    EXPECT_TRUE(nameBytes <= 64 && nameBytes % 2 == 0);
    if (type == 0) {
      EXPECT_EQ(nameBytes, 0u);
    }
  }
}

TEST(BiffEngineBuilt, TellsEachSheetsVisibilityFromItsBoundSheetState) {
  TempDir dir;
  const std::string path = dir.file("book.xls");
  const std::pair<std::uint8_t, SheetVisibility> states[] = {{0, SheetVisibility::Visible},
                                                             {1, SheetVisibility::Hidden},
                                                             {2, SheetVisibility::VeryHidden}};
  for (const auto& [state, visibility] : states) {
    BuiltBook::write(path, false,
                     [state = state](WorkbookStream& book) { book.sheets[1].state = state; });
    BiffEngine engine(path);
    EXPECT_EQ(engine.sheetVisibility(engine.sheetAt(0)), SheetVisibility::Visible);
    EXPECT_EQ(engine.sheetVisibility(engine.sheetAt(1)), visibility) << int{state};
  }
}

TEST(BiffEngineBuilt, RefusalsLeaveTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir.file("macro.xls");
  BuiltBook::write(path, /*vba=*/true);
  const std::string before = test::readFile(path);
  BiffEngine engine(path);
  try {
    engine.copySheet(engine.sheetAt(0), engine.sheetAt(1));
    FAIL() << "a sheet was copied without its module in a damaged macro project";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("macros cannot be copied"), std::string::npos) << e.what();
  }
  EXPECT_EQ(engine.sheetCount(), 2);
  engine.save();
  EXPECT_EQ(test::readFile(path), before);
}

struct RefusalCase {
  const char* what;
  bool onOpening;  // refused when the file is opened, otherwise when "Data" is copied
  const char* words;
  BuiltBook::Edit edit;
};

// Inserts `r` into the substream before its last record (the EOF).
void beforeEnd(std::vector<Record>& records, Record r) {
  records.insert(records.end() - 1, std::move(r));
}

class BiffRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(BiffRefusal, NamesTheReasonAndLeavesTheFileAsItWas) {
  const RefusalCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("book.xls");
  BuiltBook::write(path, false, c.edit);
  const std::string before = test::readFile(path);
  try {
    BiffEngine engine(path);
    ASSERT_FALSE(c.onOpening) << c.what << ": opened";
    engine.copySheet(engine.sheetAt(0), engine.sheetAt(1));
    ADD_FAILURE() << c.what << ": copied";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.what << ": " << e.what();
  }
  EXPECT_EQ(test::readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BiffRefusal,
    testing::Values(
        RefusalCase{"encrypted", true, "protected with a password",
                    [](WorkbookStream& b) {
                      b.globals.insert(b.globals.begin() + 1,
                                       BuiltBook::rec(sid::kFilePass, std::string(54, '\1')));
                      for (auto& s : b.sheets) ++s.boundSheet;
                    }},
        RefusalCase{"Excel 95 stream", true, "Excel 95 or older",
                    [](WorkbookStream& b) { put16(b.globals[0].data, 0, 0x0500); }},
        RefusalCase{"structure protected", false, "structure is protected",
                    [](WorkbookStream& b) {
                      beforeEnd(b.globals, BuiltBook::rec(sid::kProtect, bytes({1, 0})));
                    }},
        RefusalCase{
            "unknown record", false, "(0x0999)",
            [](WorkbookStream& b) { beforeEnd(b.sheets[0].records, BuiltBook::rec(0x0999, "?")); }},
        RefusalCase{"pivot table", false, "pivot table",
                    [](WorkbookStream& b) {
                      beforeEnd(b.sheets[0].records, BuiltBook::rec(0x00B0, std::string(40, '\0')));
                    }},
        RefusalCase{"OLE object", false, "embedded object",
                    [](WorkbookStream& b) {
                      beforeEnd(b.sheets[0].records,
                                BuiltBook::rec(sid::kObj, bytes({0x15, 0, 0x12, 0, 8, 0}) +
                                                              std::string(16, '\0') +
                                                              bytes({0x09, 0, 2, 0, 0, 0})));
                    }},
        RefusalCase{"unknown formula token", false, "token",
                    [](WorkbookStream& b) {
                      for (Record& r : b.sheets[0].records)
                        if (r.sid == sid::kFormula) r.data[22] = 0x18;
                    }},
        RefusalCase{
            "dialog sheet", false, "dialog sheet",
            [](WorkbookStream& b) {
              beforeEnd(b.sheets[0].records, BuiltBook::rec(sid::kWsBool, bytes({0x10, 0})));
            }},
        RefusalCase{"macro sheet", false, "macro sheet",
                    [](WorkbookStream& b) { b.sheets[0].type = 1; }}),
    [](const testing::TestParamInfo<RefusalCase>& info) {
      return "case" + std::to_string(info.index);
    });

// An INDEX record inside an embedded chart, before the sheet's own, is where positions go; one
// without room for them is refused, held as records or as bytes, instead of written past.
TEST(BiffStream, AnIndexWithoutRoomForItsPositionsIsRefused) {
  for (const bool asBytes : {false, true}) {
    WorkbookStream book = parseWorkbookStream(BuiltBook::stream());
    std::vector<Record>& records = book.sheets[0].records;
    records.insert(records.begin() + 1,
                   {BuiltBook::rec(sid::kBof, bytes({0, 6, 0x20, 0}) + std::string(12, '\0')),
                    BuiltBook::rec(sid::kIndex, std::string(16, '\0')),
                    BuiltBook::rec(sid::kEof, "")});
    if (asBytes) {
      EXPECT_THROW(holdSheetsAsBytes(book), RecordError);
    } else {
      EXPECT_THROW(writeWorkbookStream(book), RecordError);
    }
  }
}

TEST(BiffEngineBuilt, DamagedFilesAreRefusedInTheUsersWords) {
  TempDir dir;
  std::string good = test::readFile((BuiltBook::write(dir.file("good.xls")), dir.file("good.xls")));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good.substr(0, 700), "damaged"},
      {std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(600, '\0'), "damaged"},
  };
  for (const auto& [data, words] : cases) {
    test::writeFile(dir.file("bad.xls"), data);
    try {
      BiffEngine engine(dir.file("bad.xls"));
      ADD_FAILURE() << "opened";
    } catch (const ServerError& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  }
}

// ---- The shipped sample ----

TEST(BiffSample, ListsItsSheetsAndCopiesTheTemplate) {
  TempDir dir;
  const std::string path = dir.file("sample1.xls");
  std::filesystem::copy_file(ORV_PROJECT_DIR "/assets/Samples/sample1.xls", path);
  {
    BiffEngine engine(path);
    ASSERT_EQ(engine.sheetCount(), 2);
    EXPECT_EQ(engine.sheetName(engine.sheetAt(0)), "Template");
    EXPECT_EQ(engine.sheetName(engine.sheetAt(1)), "Instructions");
    EXPECT_EQ(engine.activeSheet(), engine.sheetAt(0));
    for (int i = 0; i < 3; ++i)
      engine.copySheet(engine.sheetAt(0), engine.sheetAt(engine.sheetCount() - 1));
    engine.save();
  }
  BiffEngine reopened(path);
  ASSERT_EQ(reopened.sheetCount(), 5);
  EXPECT_EQ(reopened.sheetName(reopened.sheetAt(4)), "Template (4)");
  WorkbookStream book = checkPositions(workbookOf(path));
  // The print area: once for the template and once for each copy, each on its own sheet.
  std::set<std::uint16_t> scopes;
  for (const Record& r : book.globals)
    if (r.sid == sid::kName) {
      EXPECT_TRUE(scopes.insert(get16(r.data, 8)).second);
    }
  EXPECT_EQ(scopes, (std::set<std::uint16_t>{1, 3, 4, 5}));
}

// ---- One instance after another, as a save after every copy runs ----

// Copies the template once in a fresh instance and saves.
void copyInFreshInstance(const std::string& path) {
  BiffEngine engine(path);
  engine.copySheet(engine.sheetAt(0), engine.sheetAt(engine.sheetCount() - 1));
  engine.save();
}

TEST(BiffInstances, TakeOverWhatTheLastSavedAndReadAfreshWhatChangedBehindThem) {
  TempDir dir;
  const std::string kept = dir.file("kept.xls"), fresh = dir.file("fresh.xls");
  std::filesystem::copy_file(ORV_PROJECT_DIR "/assets/Samples/sample1.xls", kept);
  std::filesystem::copy_file(kept, fresh);
  keepSavedWorkbooks(false);
  for (int i = 0; i < 3; ++i) copyInFreshInstance(fresh);
  keepSavedWorkbooks(true);
  for (int i = 0; i < 3; ++i) copyInFreshInstance(kept);
  EXPECT_EQ(test::readFile(kept), test::readFile(fresh));

  // Another program puts the original back, with the time the saved file had: the next
  // instance must see two sheets, not the five it would have been handed.
  const auto time = std::filesystem::last_write_time(kept);
  test::writeFile(kept, test::readFile(ORV_PROJECT_DIR "/assets/Samples/sample1.xls"));
  std::filesystem::last_write_time(kept, time);
  copyInFreshInstance(kept);
  EXPECT_EQ(BiffEngine(kept).sheetCount(), 3);
}

// ---- The shared corpus ----

const char* corpusDir() {
  const char* dir = std::getenv("ORV_CORPUS");
  return dir ? dir : "/work/shared/corpus";
}

struct CorpusCase {
  const char* file;
  const char* refusal;  // words of the message when the file is refused on opening; or null
};

class BiffCorpus : public testing::TestWithParam<CorpusCase> {};

TEST_P(BiffCorpus, OpensOrRefusesAndCopiesKeepPositionsRight) {
  const CorpusCase& c = GetParam();
  const std::string original = std::string(corpusDir()) + "/" + c.file;
  if (!std::filesystem::exists(original)) GTEST_SKIP() << "no corpus at " << corpusDir();
  TempDir dir;
  const std::string path = dir.file("book.xls");
  std::filesystem::copy_file(original, path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  if (c.refusal) {
    try {
      BiffEngine engine(path);
      FAIL() << "opened";
    } catch (const ServerError& e) {
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
    return;
  }
  const std::string before = workbookOf(path);
  std::vector<std::string> names;
  {
    BiffEngine engine(path);
    // Saving without a change gives back the same stream.
    EXPECT_EQ(engine.workbookStream(), before);
    for (int i = 0; i < engine.sheetCount(); ++i)
      names.push_back(engine.sheetName(engine.sheetAt(i)));
    int copied = 0;
    for (int i = 0; i < engine.sheetCount() && copied < 2; ++i) {
      if (engine.sheetKind(engine.sheetAt(i)) != SheetKind::Worksheet) continue;
      try {
        engine.copySheet(engine.sheetAt(i), engine.sheetAt(engine.sheetCount() - 1));
        ++copied;
      } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot copy"), std::string::npos) << e.what();
      }
    }
    engine.save();
  }
  WorkbookStream book = checkPositions(workbookOf(path));
  checkDrawings(book);
  checkMacros(readCompoundFile(test::readFile(path), "book.xls"), book);
  ASSERT_GE(book.sheets.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(book.sheets[i].name, names[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BiffCorpus,
    testing::Values(CorpusCase{"calamine_issue127.xls", nullptr},
                    CorpusCase{"poi_12843-1.xls", nullptr}, CorpusCase{"poi_15228.xls", nullptr},
                    CorpusCase{"poi_44958.xls", nullptr}, CorpusCase{"poi_45761.xls", nullptr},
                    CorpusCase{"poi_SimpleWithImages.xls", nullptr},
                    CorpusCase{"poi_WithThreeCharts.xls", nullptr},
                    CorpusCase{"poi_password.xls", "protected with a password"}),
    [](const testing::TestParamInfo<CorpusCase>& info) {
      std::string name = info.param.file;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

}  // namespace
}  // namespace orv::biff
