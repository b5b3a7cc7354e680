// Instances that pass parts on through the process's cache write what fresh instances write, and
// an instance never takes a part of a file that changed on disk since it was left.
#include "server/ooxml/part_cache.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "fixtures.h"
#include "server/file_handle.h"
#include "server/ooxml/ooxml_engine.h"
#include "server/ooxml/sheet_copy.h"
#include "server/zip/raw_copy.h"

namespace orv {
namespace {

using ooxml::PartCache;

// Every part's content, fresh GUIDs masked (they differ from run to run, and only their places
// are compared).
std::map<std::string, std::string> contents(const std::string& path) {
  static const std::regex guid(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  std::map<std::string, std::string> out;
  for (const test::ZipEntry& e : test::readZip(path))
    out[e.name] = std::regex_replace(e.data, guid, "{GUID}");
  return out;
}

// The two workbooks hold the same parts with the same content.
void expectSameParts(const std::string& a, const std::string& b) {
  const auto left = contents(a), right = contents(b);
  for (const auto& [name, data] : left) {
    auto it = right.find(name);
    if (it == right.end()) {
      ADD_FAILURE() << name << " is missing from " << b;
    } else {
      EXPECT_TRUE(it->second == data) << name << " differs";
    }
  }
  EXPECT_EQ(left.size(), right.size());
}

SheetId sheetNamed(ooxml::OoxmlEngine& engine, const std::string& name) {
  for (int i = 0; i < engine.sheetCount(); ++i)
    if (engine.sheetName(engine.sheetAt(i)) == name) return engine.sheetAt(i);
  ADD_FAILURE() << "no sheet " << name;
  return engine.sheetAt(0);
}

// What the window does for one copy with a save after it: a fresh instance opens the file,
// copies `source` after the last sheet, names the copy and saves.
void copyInFreshInstance(const std::string& path, const std::string& source,
                         const std::string& name) {
  ooxml::OoxmlEngine engine(path);
  SheetId copy =
      engine.copySheet(sheetNamed(engine, source), engine.sheetAt(engine.sheetCount() - 1));
  engine.renameSheet(copy, name);
  engine.save();
}

class CacheOff {
 public:
  CacheOff() { PartCache::instance().setEnabled(false); }
  ~CacheOff() { PartCache::instance().setEnabled(true); }
};

struct Book {
  const char* label;
  std::function<void(const std::string&)> write;
  const char* source;
};

// The rich workbook with its sheet parts stored under names in another case than the
// relationships and content types give them, which readers accept: parts are found, and new
// ones numbered, whatever the case.
void writeMixedCaseWorkbook(const std::string& path) {
  test::writeRichWorkbook(path);
  std::vector<std::pair<std::string, std::string>> parts;
  for (test::ZipEntry& e : test::readZip(path)) {
    std::string name = e.name;
    if (name.starts_with("xl/worksheets/sheet")) {
      name = "xl/WorkSheets/" + name.substr(14);
      for (size_t i = 14; i < name.size(); ++i) name[i] = static_cast<char>(std::toupper(name[i]));
    }
    parts.emplace_back(name, std::move(e.data));
  }
  test::writeZip(path, parts);
}

class SharedParts : public ::testing::TestWithParam<Book> {
 protected:
  void SetUp() override { PartCache::instance().clear(); }
  void TearDown() override { PartCache::instance().clear(); }
  test::TempDir dir_;
};

TEST_P(SharedParts, GiveWhatFreshInstancesWrite) {
  const std::string cached = dir_.file("Cached.xlsx"), fresh = dir_.file("Fresh.xlsx");
  GetParam().write(cached);
  std::filesystem::copy_file(cached, fresh);
  // The sheets as an instance sees them: the next one takes them as the last one left them.
  auto sheets = [](const std::string& path) {
    ooxml::OoxmlEngine engine(path);
    std::vector<std::pair<std::string, SheetKind>> seen;
    for (int i = 0; i < engine.sheetCount(); ++i)
      seen.emplace_back(engine.sheetName(engine.sheetAt(i)), engine.sheetKind(engine.sheetAt(i)));
    return seen;
  };
  for (int k = 1; k <= 3; ++k) {
    copyInFreshInstance(cached, GetParam().source, "Copy " + std::to_string(k));
    // The instance left what it read and wrote for the next one.
    EXPECT_GT(PartCache::instance().size(), 0u) << k;
  }
  const auto seenCached = sheets(cached);
  CacheOff off;
  for (int k = 1; k <= 3; ++k)
    copyInFreshInstance(fresh, GetParam().source, "Copy " + std::to_string(k));
  expectSameParts(cached, fresh);
  EXPECT_EQ(seenCached, sheets(fresh));
}

// The parts a save edits end the file, so the next save's file starts with everything before
// them, byte for byte at the same offsets: what the kernel can share instead of copying.
TEST_P(SharedParts, ConsecutiveSavesShareTheirStart) {
  const std::string book = dir_.file("Book.xlsx");
  GetParam().write(book);
  copyInFreshInstance(book, GetParam().source, "Copy 1");
  const std::string first = test::readFile(book);
  copyInFreshInstance(book, GetParam().source, "Copy 2");
  const std::string second = test::readFile(book);

  test::writeFile(dir_.file("First.xlsx"), first);
  FileHandle in = FileHandle::openForReading(dir_.file("First.xlsx"));
  ASSERT_TRUE(in.valid());
  const std::optional<zip::Layout> layout = zip::readLayout(in.descriptor(), first.size());
  in.close();
  ASSERT_TRUE(layout);
  // Where the first file's edited parts begin: the workbook part and the content types.
  std::uint64_t edited = first.size();
  for (const zip::Entry& e : layout->entries)
    if (layout->nameOf(e) == "xl/workbook.xml" || layout->nameOf(e) == "[Content_Types].xml")
      edited = std::min<std::uint64_t>(edited, e.start);
  ASSERT_LT(edited, first.size());
  EXPECT_GT(edited, first.size() / 2) << "the edited parts do not end the file";
  EXPECT_EQ(second.substr(0, edited), first.substr(0, edited));
}

INSTANTIATE_TEST_SUITE_P(
    Books, SharedParts,
    ::testing::Values(Book{"rich", test::writeRichWorkbook, "Data"},
                      Book{"plain", [](const std::string& p) { test::writePlainWorkbook(p, 2); },
                           "Data"},
                      Book{"table", test::writeTableWorkbook, "Data"},
                      Book{"mixedCase", writeMixedCaseWorkbook, "Data"}),
    [](const auto& info) { return std::string(info.param.label); });

// Ways another program changes the file between two instances.
struct Change {
  const char* label;
  // Puts the bytes `next` at `path`.
  std::function<void(const std::string& path, const std::string& next)> apply;
};

void rewriteInPlaceKeepingTime(const std::string& path, const std::string& next) {
  const auto before = std::filesystem::last_write_time(path);
  test::writeFile(path, next);  // the same file, emptied and written again
  std::filesystem::last_write_time(path, before);
}

void replaceByRename(const std::string& path, const std::string& next) {
  test::writeFile(path + ".new", next);
  std::filesystem::rename(path + ".new", path);
}

class ChangedBehindItsBack : public ::testing::TestWithParam<Change> {
 protected:
  void SetUp() override { PartCache::instance().clear(); }
  void TearDown() override { PartCache::instance().clear(); }
  test::TempDir dir_;
};

TEST_P(ChangedBehindItsBack, IsReadAfresh) {
  const std::string book = dir_.file("Book.xlsx"), reference = dir_.file("Reference.xlsx");
  test::writeWorkbook(book, {{"Data"}, {"Other"}});
  copyInFreshInstance(book, "Data", "First");
  ASSERT_GT(PartCache::instance().size(), 0u);

  // Another program's version: the source sheet and the workbook part hold something else.
  const std::string other = dir_.file("Other.xlsx");
  test::writeWorkbook(other, {{"Data"}, {"Second"}, {"Third"}});
  test::patchZip(other, {{test::sheetPartOf(other, "Data"),
                          test::zipPart(book, test::sheetPartOf(book, "Other"))}});
  const std::string next = test::readFile(other);
  GetParam().apply(book, next);
  test::writeFile(reference, next);

  copyInFreshInstance(book, "Data", "Again");
  {
    CacheOff off;
    copyInFreshInstance(reference, "Data", "Again");
  }
  EXPECT_EQ(test::sheetNamesByEngine(book),
            (std::vector<std::string>{"Data", "Second", "Third", "Again"}));
  expectSameParts(book, reference);
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedBehindItsBack,
                         ::testing::Values(Change{"RewrittenInPlaceWithItsTimeKept",
                                                  rewriteInPlaceKeepingTime},
                                           Change{"ReplacedByRename", replaceByRename}),
                         [](const auto& info) { return std::string(info.param.label); });

// Copies filled into a text worked out once per source write what copies written from the tree
// write, whatever the copy's name: quoted or not in formulas, with quotes to double, or with
// characters the XML writer escapes. A source that holds the placeholder text has no template.
TEST(CopyTemplates, WriteWhatTheTreeWrites) {
  PartCache::instance().clear();
  test::TempDir dir;
  const std::string source = dir.file("Source.xlsx");
  test::writeWorkbook(source, {{"Data"}, {"Other"}, {"Odd"}});
  auto sheet = [](const std::string& cells) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
           "<sheetData><row r=\"1\">" +
           cells +
           "</row></sheetData>"
           "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" priority=\"1\">"
           "<formula>Data!A2&gt;5</formula></cfRule></conditionalFormatting></worksheet>";
  };
  test::patchZip(source,
                 {{test::sheetPartOf(source, "Data"),
                   sheet("<c r=\"A1\"><f>Data!A2*2</f></c><c r=\"B1\"><f>'Data'!A2+Other!A1</f></c>"
                         "<c r=\"C1\"><f>SUM(Other:Data!A2)</f></c>"
                         "<c r=\"D1\"><f>\"Data!A1\"&amp;Data!$A$2</f></c>")},
                  {test::sheetPartOf(source, "Odd"),
                   sheet("<c r=\"A1\" t=\"inlineStr\"><is><t>QzvPlaceholderKx</t></is></c>"
                         "<c r=\"B1\"><f>Odd!A1&amp;Data!A1</f></c>")}});
  const std::vector<std::string> names{"Copy 1", "Copy2", "O'Brien", "\xC3\x9Cn\xC3\xAF",
                                       "R&D",    "AB12"};
  // All copies by one instance, saved once; and each by a fresh instance, saved after it.
  auto copyAll = [&](const std::string& path, bool fresh) {
    std::filesystem::copy_file(source, path);
    if (fresh) {
      for (const std::string from : {"Data", "Odd"})
        for (const std::string& name : names) copyInFreshInstance(path, from, from + " " + name);
      return;
    }
    ooxml::OoxmlEngine engine(path);
    for (const std::string from : {"Data", "Odd"}) {
      for (const std::string& name : names) {
        SheetId copy =
            engine.copySheet(sheetNamed(engine, from), engine.sheetAt(engine.sheetCount() - 1));
        engine.renameSheet(copy, from + " " + name);
      }
    }
    engine.save();
  };
  for (bool fresh : {false, true}) {
    SCOPED_TRACE(fresh ? "fresh instances" : "one instance");
    const std::string filled = dir.file(fresh ? "FilledEach.xlsx" : "FilledOnce.xlsx");
    const std::string tree = dir.file(fresh ? "TreeEach.xlsx" : "TreeOnce.xlsx");
    copyAll(filled, fresh);
    ooxml::setCopyTemplates(false);
    copyAll(tree, fresh);
    ooxml::setCopyTemplates(true);
    expectSameParts(filled, tree);
  }
  const std::string once = dir.file("FilledOnce.xlsx");
  EXPECT_NE(
      test::zipPart(once, test::sheetPartOf(once, "Data O'Brien")).find("'Data O''Brien'!A2*2"),
      std::string::npos);
  PartCache::instance().clear();
}

}  // namespace
}  // namespace orv
