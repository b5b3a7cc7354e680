#include "automation/workbook_listing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "server/server_error.h"
#include "tests/support/fixtures.h"
#include "tests/test_names.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;

class ListingTest : public ::testing::Test {
 protected:
  int list(const std::string& path) {
    return appendWorksheetNames(path, openWithEngine,
                                [this](const std::string& name) { items.push_back(name); });
  }

  TempDir dir;
  std::vector<std::string> items{"Earlier"};
};

TEST_F(ListingTest, AppendsWorksheetsInWorkbookOrderAndLeavesChartSheetsOut) {
  const std::string path = dir.file("Book.xlsx");
  writeWorkbook(path, {{"Data"}, {"Summary"}, {"Chart1", true}, {"Notes"}});

  EXPECT_EQ(list(path), 3);
  EXPECT_THAT(items, ElementsAre("Earlier", "Data", "Summary", "Notes"));
  // A second listing of the same file appends the names again.
  EXPECT_EQ(list(path), 3);
  EXPECT_EQ(items.size(), 7u);
}

TEST_F(ListingTest, RealWorkbookListsWhatAnIndependentReaderSees) {
  const std::string path =
      std::string(ORV_CORPUS_DIR) + "/calamine_any_sheets.xlsx";  // hidden and chart sheets
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus at " << path;

  items.clear();
  list(path);
  const std::vector<std::string> expected = runPython(
      "import sys, openpyxl\n"
      "for ws in openpyxl.load_workbook(sys.argv[1]).worksheets: print(ws.title)\n",
      path);
  EXPECT_EQ(items, expected);
  EXPECT_FALSE(items.empty());
}

TEST_F(ListingTest, FailureAfterSomeNamesKeepsThemAndIsPassedOn) {
  const std::string path = dir.file("Book.xlsx");
  writeWorkbook(path, {{"Data"}, {"Summary"}, {"Notes"}});

  int calls = 0;
  auto appendTwiceThenFail = [&](const std::string& name) {
    if (++calls == 3) throw std::runtime_error("The list is full.");
    items.push_back(name);
  };
  try {
    appendWorksheetNames(path, openWithEngine, appendTwiceThenFail);
    FAIL() << "the failure was swallowed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The list is full.");
  }
  EXPECT_THAT(items, ElementsAre("Earlier", "Data", "Summary"));
  // The file is left as it was and opens again.
  EXPECT_EQ(list(path), 3);
}

class NoWorkbookTest : public ListingTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoWorkbookTest, IsRefusedWithAClearErrorAndListsNothing) {
  const std::string path = dir.file(GetParam());
  if (std::string(GetParam()) == "folder.xlsx") {
    std::filesystem::create_directory(path);
  } else {
    std::ofstream(path) << "Name,Count\nA,1\n";
  }
  try {
    list(path);
    FAIL() << "listed " << path;
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()), "");
  }
  EXPECT_THAT(items, ElementsAre("Earlier"));
}

INSTANTIATE_TEST_SUITE_P(Entries, NoWorkbookTest, ::testing::Values("notes.xlsx", "folder.xlsx"),
                         orv::testnames::paramText);

TEST_F(ListingTest, EngineThatDoesNotStartIsAnError) {
  auto noInstance = [](const std::string&) { return std::unique_ptr<Application>(); };
  EXPECT_THROW(appendWorksheetNames("x.xlsx", noInstance, [](const std::string&) {}), ServerError);
}

}  // namespace
}  // namespace orv::test
