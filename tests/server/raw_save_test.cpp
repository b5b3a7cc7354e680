// Saving by copying untouched runs of the original file gives what saving entry by entry through
// libzip gives, and declines archives it would not reproduce.
#include <gtest/gtest.h>
#include <zip.h>

#include <functional>
#include <map>
#include <random>
#include <regex>

#include "fixtures.h"
#include "server/ooxml/ooxml_engine.h"
#include "server/file_handle.h"
#include "server/server_error.h"
#include "server/zip/entry_store.h"
#include "server/zip/raw_copy.h"

namespace orv {
namespace {

// Every entry's compressed bytes as stored, by name.
std::map<std::string, std::string> storedBytes(const std::string& path) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (!zip) throw std::runtime_error("cannot open " + path);
  std::map<std::string, std::string> out;
  for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
    const auto at = static_cast<zip_uint64_t>(i);
    zip_file_t* f = zip_fopen_index(zip, at, ZIP_FL_COMPRESSED);
    std::string data;
    char buffer[65536];
    for (zip_int64_t n; f && (n = zip_fread(f, buffer, sizeof buffer)) > 0;)
      data.append(buffer, static_cast<size_t>(n));
    if (f) zip_fclose(f);
    out[zip_get_name(zip, at, ZIP_FL_ENC_RAW)] = data;
  }
  zip_discard(zip);
  return out;
}

// Copies "Data" after the last sheet, renames the copy and saves, `rounds` times in one session.
bool copyAndSave(const std::string& path, bool raw, int rounds, int firstNumber = 1) {
  ooxml::OoxmlEngine engine(path);
  engine.package().setRawSave(raw);
  bool allRaw = true;
  for (int k = 0; k < rounds; ++k) {
    SheetId data = 0;
    for (int i = 0; i < engine.sheetCount(); ++i)
      if (engine.sheetName(engine.sheetAt(i)) == "Data") data = engine.sheetAt(i);
    SheetId copy = engine.copySheet(data, engine.sheetAt(engine.sheetCount() - 1));
    engine.renameSheet(copy, "Copy " + std::to_string(firstNumber + k) + " \xC3\xA9t\xC3\xA9");
    engine.save();
    allRaw = allRaw && engine.package().lastSaveWasRaw();
  }
  return allRaw;
}

// Rewrites the archive at `from` with python3's zipfile: `how` is Python code that reads the
// ZipFile `src` and writes the file `dst`.
void rewriteWithPython(const std::string& from, const std::string& to, const std::string& how) {
  const std::string script =
      "import zipfile, io\nsrc = zipfile.ZipFile('" + from + "')\ndst = '" + to + "'\n" + how;
  ASSERT_EQ(test::runPython(script), 0) << script;
}

struct Book {
  const char* label;
  std::function<void(const std::string&)> write;
};

class RawSave : public ::testing::TestWithParam<Book> {
 protected:
  test::TempDir dir_;
};

TEST_P(RawSave, GivesWhatLibzipGivesEntryForEntry) {
  const std::string original = dir_.file("Original.xlsx");
  GetParam().write(original);
  const std::string viaRaw = dir_.file("Raw.xlsx"), viaLibzip = dir_.file("Libzip.xlsx");
  test::writeFile(viaRaw, test::readFile(original));
  test::writeFile(viaLibzip, test::readFile(original));

  // Two rounds: the second reads an archive the first one wrote.
  EXPECT_TRUE(copyAndSave(viaRaw, true, 2));
  EXPECT_FALSE(copyAndSave(viaLibzip, false, 2));

  const std::vector<test::ZipEntry> a = test::readZip(viaRaw), b = test::readZip(viaLibzip);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name) << "entry " << i;
    // Conditional formats of a copy get fresh random ids, so the two saves differ there only.
    static const std::regex guid(
        "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    EXPECT_EQ(std::regex_replace(a[i].data, guid, "{id}"),
              std::regex_replace(b[i].data, guid, "{id}"))
        << a[i].name;
  }
  // What neither save touched is stored byte for byte as it was.
  const std::map<std::string, std::string> before = storedBytes(original);
  const std::map<std::string, std::string> after = storedBytes(viaRaw);
  std::map<std::string, std::string> plainBefore;
  for (const test::ZipEntry& e : test::readZip(original)) plainBefore[e.name] = e.data;
  int kept = 0;
  for (const test::ZipEntry& e : a) {
    auto it = plainBefore.find(e.name);
    if (it == plainBefore.end() || it->second != e.data) continue;
    EXPECT_EQ(after.at(e.name), before.at(e.name)) << e.name;
    ++kept;
  }
  EXPECT_GT(kept, 3);
  ASSERT_NO_THROW(ooxml::OoxmlEngine reopened(viaRaw));
}

INSTANTIATE_TEST_SUITE_P(
    Books, RawSave,
    ::testing::Values(
        Book{"rich", test::writeRichWorkbook},
        Book{"plain_many", [](const std::string& p) { test::writePlainWorkbook(p, 40); }},
        // A central directory long enough to be copied from the last save's.
        Book{"plain_hundreds", [](const std::string& p) { test::writePlainWorkbook(p, 400); }},
        Book{"macro",
             [](const std::string& p) {
               test::writeMacroWorkbook(
                   p, test::vbaProjectBytes({{"ThisWorkbook"}, {"DataSheet"}, {"Sheet2"}}));
             }}),
    [](const ::testing::TestParamInfo<Book>& info) { return std::string(info.param.label); });

struct Rewrite {
  const char* label;
  const char* python;  // writes 'dst' from 'src'
  bool raw;            // whether the first save can copy runs
};

class RawSaveOfForeignArchive : public ::testing::TestWithParam<Rewrite> {
 protected:
  test::TempDir dir_;
};

TEST_P(RawSaveOfForeignArchive, DeclinesWhatItWouldNotReproduce) {
  const std::string plain = dir_.file("Plain.xlsx"), path = dir_.file("Book.xlsx");
  ORV_NEEDS_ORACLE();
  test::writePlainWorkbook(plain);
  rewriteWithPython(plain, path, GetParam().python);
  const std::vector<test::ZipEntry> input = test::readZip(path);

  EXPECT_EQ(copyAndSave(path, true, 1), GetParam().raw);
  // Whatever way it took, the result holds every part and the copy, and the next save (of an
  // archive written by the engine) copies runs.
  std::vector<test::ZipEntry> saved = test::readZip(path);
  EXPECT_EQ(saved.size(), input.size() + 1);
  EXPECT_TRUE(copyAndSave(path, true, 1, 2));
  ooxml::OoxmlEngine reopened(path);
  EXPECT_EQ(reopened.sheetCount(), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RawSaveOfForeignArchive,
    ::testing::Values(
        Rewrite{"zip64",
                "zipfile.ZIP64_LIMIT = 0\n"
                "with zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "  for i in src.infolist(): z.writestr(i.filename, src.read(i))\n",
                false},
        // A ZIP64 field in local headers only, beside real 32-bit sizes, is copied as it is.
        Rewrite{"zip64_field_in_local_headers",
                "with zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "  for i in src.infolist():\n"
                "    with z.open(i.filename, 'w', force_zip64=True) as f: f.write(src.read(i))\n",
                true},
        // Entries with a data descriptor after their data (as the office suite writes them)
        // are copied with it.
        Rewrite{"data_descriptors",
                "class Pipe(io.RawIOBase):\n"
                "  def __init__(s, f): s.f = f\n"
                "  def writable(s): return True\n"
                "  def write(s, b): return s.f.write(b)\n"
                "with open(dst, 'wb') as out:\n"
                "  with zipfile.ZipFile(Pipe(out), 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "    for i in src.infolist(): z.writestr(i.filename, src.read(i))\n",
                true},
        Rewrite{"comment",
                "with zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "  z.comment = b'kept as it is'\n"
                "  for i in src.infolist(): z.writestr(i.filename, src.read(i))\n",
                true}),
    [](const ::testing::TestParamInfo<Rewrite>& info) { return std::string(info.param.label); });

TEST(RawSaveComment, IsKept) {
  test::TempDir dir;
  const std::string plain = dir.file("Plain.xlsx"), path = dir.file("Book.xlsx");
  ORV_NEEDS_ORACLE();
  test::writePlainWorkbook(plain);
  rewriteWithPython(plain, path,
                    "with zipfile.ZipFile(dst, 'w') as z:\n"
                    "  z.comment = b'kept as it is'\n"
                    "  for i in src.infolist(): z.writestr(i.filename, src.read(i))\n");
  ASSERT_TRUE(copyAndSave(path, true, 1));
  const std::string bytes = test::readFile(path);
  EXPECT_TRUE(bytes.ends_with("kept as it is"));
}

// The layout reader meets damaged archives: it declines, and opening reports the damage.
struct Damage {
  const char* label;
  std::function<void(std::string&)> apply;
};

class RawLayoutOfDamagedArchive : public ::testing::TestWithParam<Damage> {};

std::optional<zip::Layout> layoutOf(const std::string& path) {
  FileHandle file = FileHandle::openForReading(path);
  if (!file.valid()) throw std::runtime_error("cannot open " + path);
  return zip::readLayout(file.descriptor(), test::readFile(path).size());
}

size_t centralStart(const std::string& bytes) {
  const size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + end + 16);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<size_t>(p[3]) << 24);
}

TEST_P(RawLayoutOfDamagedArchive, DeclinesAndOpeningNeverCrashes) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  ASSERT_TRUE(layoutOf(path).has_value());
  std::string bytes = test::readFile(path);
  GetParam().apply(bytes);
  test::writeFile(path, bytes);
  EXPECT_FALSE(layoutOf(path).has_value());
  try {
    copyAndSave(path, true, 1);
  } catch (const ServerError& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Cannot ")) << e.what();
  }
}

// New parts are made ahead, on a second thread, while the untouched runs are copied: what they
// are and a producer's failure come out as when they are made in turn.
TEST(RawSave, PartsMadeAheadAreWrittenInOrderAndAFailingOneLeavesTheFile) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writePlainWorkbook(path);
  {
    ooxml::Package pkg(path);
    for (int k = 1; k <= 20; ++k)
      pkg.addLazy("extra/part" + std::to_string(k) + ".txt",
                  [k] { return std::string(size_t{1000} * k, static_cast<char>('a' + k % 26)); });
    pkg.save();
    EXPECT_TRUE(pkg.lastSaveWasRaw());
  }
  for (int k = 1; k <= 20; ++k)
    EXPECT_EQ(test::zipPart(path, "extra/part" + std::to_string(k) + ".txt"),
              std::string(size_t{1000} * k, static_cast<char>('a' + k % 26)));

  const std::string before = test::readFile(path);
  ooxml::Package pkg(path);
  pkg.addLazy("extra/good.txt", [] { return std::string("fine"); });
  pkg.addLazy("extra/bad.txt", []() -> std::string { throw ServerError("The part failed."); });
  try {
    pkg.save();
    ADD_FAILURE() << "saved";
  } catch (const ServerError& e) {
    EXPECT_EQ(std::string(e.what()), "The part failed.");
  }
  EXPECT_EQ(test::readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, RawLayoutOfDamagedArchive,
    ::testing::Values(Damage{"truncated_central_directory",
                             [](std::string& b) { b.resize(centralStart(b) + 30); }},
                      Damage{"garbled_central_directory",
                             [](std::string& b) {
                               for (size_t i = centralStart(b); i < b.size() - 22; i += 7)
                                 b[i] ^= 0x5A;
                             }},
                      Damage{"central_size_too_large",
                             [](std::string& b) {
                               const size_t end = b.rfind(std::string("PK\x05\x06", 4));
                               b[end + 13] = '\x7F';
                             }},
                      Damage{"local_header_disagrees",
                             [](std::string& b) { b[14] = static_cast<char>(b[14] ^ 0x01); }},
                      Damage{"bytes_before_the_first_entry",
                             [](std::string& b) { b.insert(0, std::string(64, '\0')); }},
                      Damage{"end_record_cut", [](std::string& b) { b.resize(b.size() - 5); }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.label); });

// Pieces deflated one by one (a long one in two halves at once) join into the stream of the
// whole text, with its CRC; bytes that do not shrink outgrow the room a piece starts with.
TEST(DeflatedPieces, JoinIntoTheWholeText) {
  std::string text;
  for (int i = 0; text.size() < 3'000'000; ++i) text += "<row r=\"" + std::to_string(i) + "\"/>";
  const size_t xml = text.size();
  std::mt19937 noise(7);
  while (text.size() < xml + 200'000) text += static_cast<char>(noise());
  // an empty piece, short, long, and one that does not shrink
  const std::vector<size_t> cuts{0, 0, 100, 700'000, 2'000'000, xml};
  zip::PieceDeflater deflater(1);
  std::vector<zip::DeflatedPiece> pieces;
  for (size_t i = 0; i < cuts.size(); ++i) {
    const size_t end = i + 1 < cuts.size() ? cuts[i + 1] : text.size();
    pieces.push_back(deflater.add(std::string_view(text).substr(cuts[i], end - cuts[i])));
  }
  std::vector<const zip::DeflatedPiece*> order;
  for (const auto& p : pieces) order.push_back(&p);
  const zip::DeflatedPiece whole = zip::joinPieces(order);
  EXPECT_EQ(whole.plainSize, text.size());
  EXPECT_EQ(whole.crc, zip::crcOf(text));
  EXPECT_EQ(zip::inflateRaw(whole.packed, text.size()), text);
}

// A part saved again as the pieces the last save wrote and one more: only the new piece is held,
// the rest is the file's, and the part reads whole before the save and after it.
TEST(DeflatedPieces, FollowWhatTheFileHoldsAndReadWhole) {
  test::TempDir dir;
  const std::string path = dir.file("Book.ods");
  test::writeZip(path, {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}});
  const std::vector<std::string> texts{"<a>" + std::string(9000, 'x'), "<b/><b/><b/>", "</a>"};
  zip::PieceDeflater deflater(1);
  std::vector<zip::DeflatedPiece> pieces;
  for (const std::string& t : texts) pieces.push_back(deflater.add(t));
  const std::vector<const zip::DeflatedPiece*> order{&pieces[0], &pieces[1], &pieces[2]};
  const auto open = [&] {
    zip::OpenedArchive opened;
    opened.identity = fileIdentity(path, "Book.ods");
    int error = 0;
    opened.archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    return opened;
  };
  zip::EntryStore store(path, open());
  store.putPacked("content.xml", zip::joinPieces({&pieces[0], &pieces[1]}));
  store.save();
  const std::optional<std::uint64_t> at = store.dataOffset("content.xml");
  ASSERT_TRUE(at.has_value());
  const zip::DeflatedPiece rest = zip::joinPieces(order, 2);
  EXPECT_EQ(rest.packed.size(), pieces[2].packed.size() + 2);  // and the final block
  store.putPacked("content.xml", rest, *at, pieces[0].packed.size() + pieces[1].packed.size());
  EXPECT_EQ(store.read("content.xml"), texts[0] + texts[1] + texts[2]);
  store.save();
  EXPECT_EQ(test::zipPart(path, "content.xml"), texts[0] + texts[1] + texts[2]);
}

// A part saved again and again: each text is deflated whole, whether it begins as the last one
// did (then only the rest is deflated), was changed early, changed without changing length, or
// shrank; the stream taken up is that of the text before, never of a different one.
TEST(DeflateTrail, EveryTextInflatesToItselfWhateverChanged) {
  std::string grown = "<Types>";
  for (int i = 0; i < 4000; ++i) grown += "<Override PartName=\"/xl/s" + std::to_string(i) + "\"/>";
  const std::string closed = grown + "</Types>";
  std::string early = closed;
  early[10] = 'X';
  std::string sameLength = closed;
  sameLength[sameLength.size() - 40] ^= 1;
  const std::vector<std::string> texts{closed.substr(0, 1000) + "</Types>",
                                       closed,
                                       grown + "<Override PartName=\"/xl/new\"/></Types>",
                                       early,
                                       closed,
                                       sameLength,
                                       closed.substr(0, 50'000),
                                       std::string(),
                                       closed};
  zip::DeflateTrail trail;
  for (size_t i = 0; i < texts.size(); ++i) {
    const zip::PackedData packed = zip::deflateAlong(texts[i], trail, 1);
    EXPECT_EQ(packed.crc, zip::crcOf(texts[i])) << i;
    EXPECT_EQ(packed.plainSize, texts[i].size()) << i;
    EXPECT_EQ(zip::inflateRaw(packed.bytes, texts[i].size()), texts[i]) << i;
  }
}

}  // namespace
}  // namespace orv
