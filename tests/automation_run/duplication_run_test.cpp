#include "automation/duplication_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/error_report.h"
#include "automation/trap.h"
#include "recording_view.h"
#include "server/server_error.h"
#include "tests/support/fixtures.h"
#include "tests/test_names.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;

constexpr const char* kTitle = "Orvandel";
constexpr const char* kNotANumber = "Please enter a number for how many copies.";

struct Report {
  std::string tag;
  std::string description;
  int line;
};

// Reads sheet names with openpyxl: every sheet, then A1 of each worksheet.
constexpr const char* kOpenpyxlNames = R"(import sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
for ws in wb.worksheets:
    print(ws.title + "|" + str(ws["A1"].value) + "|" + str(ws["A2"].value) + "|" + str(ws["A3"].value))
)";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.path = dir.file("Book.xlsx");
    writeWorkbook(view.path, {{"Data"}, {"Other"}});
    view.items = {"Data", "Other"};
    view.selected = 0;
  }

  DuplicationServices services() {
    DuplicationServices s;
    s.fileExists = [](const std::string& p) { return std::filesystem::exists(p); };
    s.warnIfExcelOpen = [this] {
      ++warnings;
      return declineWarning;
    };
    s.openWorkbook = [this](const std::string& p) {
      ++opens;
      return openWorkbook ? openWorkbook(p) : openWithEngine(p);
    };
    s.appTitle = [] { return std::string(kTitle); };
    return s;
  }

  // PushButton2_Click as the window runs it.
  void click(DuplicationRun& run) {
    runTrapped(
        locationTag(QStringLiteral("Form1"), QStringLiteral("PushButton2_Click")).toStdString(),
        run.steps(), report);
  }
  void click() {
    DuplicationRun run(view, services());
    click(run);
    EXPECT_FALSE(run.copyInProgress());
    reports = parseReports();
  }

  // The error reports among the boxes, split into their parts.
  std::vector<Report> parseReports() const {
    std::vector<Report> out;
    const std::string tail = "\r\rPlease email screenshot of this message to ";
    for (const Message& m : boxes.shown) {
      EXPECT_EQ(m.caption, "Application Error");
      EXPECT_EQ(m.style, 48);
      const size_t tagAt = m.text.rfind("\r\nin ");
      const size_t lineAt = m.text.rfind("at line ");
      const size_t tailAt = m.text.rfind(tail);
      if (tagAt == std::string::npos || lineAt == std::string::npos ||
          tailAt == std::string::npos) {
        ADD_FAILURE() << "not an error report: " << m.text;
        continue;
      }
      out.push_back({m.text.substr(tagAt + 2, lineAt - tagAt - 2), m.text.substr(0, tagAt),
                     std::stoi(m.text.substr(lineAt + 8, tailAt - lineAt - 8))});
    }
    return out;
  }

  std::vector<int> reportedLines() const {
    std::vector<int> lines;
    for (const Report& r : reports) lines.push_back(r.line);
    return lines;
  }

  TempDir dir;
  RecordingView view;
  RecordingBoxes boxes{view.log};
  ErrorReport report{boxes};
  std::vector<Report> reports;
  int warnings = 0;
  int opens = 0;
  bool declineWarning = false;
  OpenWorkbookFn openWorkbook;  // the real engine unless a test replaces it
};

TEST_F(RunTest, ThreeNamedCopiesAreMadeSavedOneByOneAndListed) {
  // At every progress step the previous copy must already be on disk: the
  // workbook is saved after each copy, not once at the end.
  std::vector<std::vector<std::string>> onDisk;
  view.onProgress = [&](double) { onDisk.push_back(sheetNamesByEngine(view.path)); };

  click();

  EXPECT_TRUE(reports.empty()) << reports.front().line << ": " << reports.front().description;
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(opens, 3);
  EXPECT_THAT(view.appended, ElementsAre("MySheet1", "MySheet2", "MySheet3"));
  EXPECT_THAT(view.items, ElementsAre("Data", "Other", "MySheet1", "MySheet2", "MySheet3"));
  ASSERT_EQ(view.progressValues.size(), 4u);
  EXPECT_DOUBLE_EQ(view.progressValues[0], 100.0 / 3);
  EXPECT_DOUBLE_EQ(view.progressValues[1], 200.0 / 3);
  EXPECT_EQ(view.progressValues[2], 100.0);
  EXPECT_EQ(view.progressValues[3], 0.0);
  EXPECT_THAT(view.progressTexts, ElementsAre("Progress Bar"));
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
  EXPECT_EQ(warnings, 1);

  ASSERT_EQ(onDisk.size(), 4u);
  EXPECT_THAT(onDisk[0], ElementsAre("Data", "Other"));
  EXPECT_THAT(onDisk[1], ElementsAre("Data", "Other", "MySheet1"));
  EXPECT_THAT(onDisk[2], ElementsAre("Data", "Other", "MySheet1", "MySheet2"));
  EXPECT_THAT(onDisk[3], ElementsAre("Data", "Other", "MySheet1", "MySheet2", "MySheet3"));

  // An independent reader sees the same order and copies of Data's cells.
  EXPECT_THAT(
      runPython(kOpenpyxlNames, view.path),
      ElementsAre("Data|Data A1|10|=A2*2", "Other|Other A1|20|=A2*2", "MySheet1|Data A1|10|=A2*2",
                  "MySheet2|Data A1|10|=A2*2", "MySheet3|Data A1|10|=A2*2"));
}

// The command line's options of the run: one instance saved once, and a stop after a failure.
TEST_F(RunTest, OneInstanceOpensOnceAndSavesAfterTheLastCopy) {
  std::vector<std::vector<std::string>> onDisk;
  view.onProgress = [&](double) { onDisk.push_back(sheetNamesByEngine(view.path)); };
  DuplicationServices s = services();
  s.saveEachCopy = false;
  DuplicationRun run(view, std::move(s));
  click(run);

  EXPECT_TRUE(parseReports().empty());
  EXPECT_EQ(opens, 1);
  EXPECT_THAT(view.appended, ElementsAre("MySheet1", "MySheet2", "MySheet3"));
  ASSERT_EQ(onDisk.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_THAT(onDisk[i], ElementsAre("Data", "Other")) << i;
  EXPECT_THAT(onDisk[3], ElementsAre("Data", "Other", "MySheet1", "MySheet2", "MySheet3"));
}

TEST_F(RunTest, StoppedAfterAFailedCopyKeepsTheCopiesMadeInEitherSaveMode) {
  for (const bool saveEachCopy : {true, false}) {
    SCOPED_TRACE(saveEachCopy ? "save each copy" : "one instance");
    writeWorkbook(view.path, {{"Data"}, {"Other"}});
    view.items = {"Data", "Other"};
    view.selected = 0;
    view.appended.clear();
    opens = 0;
    // The second copy finds no sheet selected.
    view.onProgress = [&](double value) {
      if (value > 50 && value < 100) view.selected.reset();
    };
    DuplicationServices s = services();
    s.saveEachCopy = saveEachCopy;
    DuplicationRun run(view, std::move(s));
    std::vector<int> failedLines;
    runSteps(run.steps(), [&](const std::string&, const Step& step) {
      failedLines.push_back(step.line);
      run.stopAfterThisCopy();
      return 148;
    });

    EXPECT_THAT(failedLines, ElementsAre(128));
    EXPECT_EQ(opens, saveEachCopy ? 2 : 1);
    EXPECT_THAT(view.appended, ElementsAre("MySheet1"));
    EXPECT_THAT(sheetNamesByEngine(view.path), ElementsAre("Data", "Other", "MySheet1"));
    EXPECT_FALSE(run.copyInProgress());
  }
}

TEST_F(RunTest, PatternWithoutPlaceholderMakesOneCopyThenRefusesTheName) {
  view.pattern = "Summary";
  click();

  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(opens, 1);
  EXPECT_THAT(view.appended, ElementsAre("Summary"));
  const Message conflict{"Summary already exists. Try using [x] or renaming the sheet name.", 0,
                         kTitle};
  EXPECT_THAT(view.messages, ElementsAre(conflict, conflict));
  // Refused iterations leave the bar where the first copy put it.
  ASSERT_EQ(view.progressValues.size(), 2u);
  EXPECT_DOUBLE_EQ(view.progressValues[0], 100.0 / 3);
  EXPECT_EQ(view.progressValues[1], 0.0);
  EXPECT_THAT(sheetNamesByEngine(view.path), ElementsAre("Data", "Other", "Summary"));
}

TEST_F(RunTest, NameAlreadyListedSkipsOnlyThatCopy) {
  view.pattern = "Copy[x]";
  view.items.push_back("Copy2");
  click();

  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(opens, 2);
  EXPECT_THAT(view.messages,
              ElementsAre(Message{"Copy2 already exists. Try using [x] or renaming the sheet name.",
                                  0, kTitle}));
  EXPECT_THAT(view.appended, ElementsAre("Copy1", "Copy3"));
  EXPECT_THAT(sheetNamesByEngine(view.path), ElementsAre("Data", "Other", "Copy1", "Copy3"));
  ASSERT_EQ(view.progressValues.size(), 3u);
  EXPECT_DOUBLE_EQ(view.progressValues[0], 100.0 / 3);
  EXPECT_EQ(view.progressValues[1], 100.0);
}

// Unticked and greyed both leave the copies with the names the engine gives
// them; those names, read back from the workbook, are what the list gains.
class UnnamedCopiesTest : public RunTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnnamedCopiesTest, CopiesKeepTheEngineNames) {
  view.rename = GetParam();
  view.count = "2";
  click();

  EXPECT_TRUE(reports.empty());
  const std::vector<std::string> names = sheetNamesByEngine(view.path);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_THAT(view.appended, ElementsAre(names[2], names[3]));
  EXPECT_NE(names[2], names[3]);
  EXPECT_NE(names[2], "Data");
}

INSTANTIATE_TEST_SUITE_P(CheckValues, UnnamedCopiesTest, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 0 ? "Unticked" : "Greyed");
                         });

TEST_F(RunTest, EmptyListItemMakesTheUnnamedCandidateConflict) {
  view.rename = 0;
  view.items.push_back("");
  click();
  EXPECT_EQ(opens, 0);
  ASSERT_EQ(view.messages.size(), 3u);
  EXPECT_EQ(view.messages[0].text, " already exists. Try using [x] or renaming the sheet name.");
}

struct CountCase {
  const char* count;
  int copies;
};

class CountTest : public RunTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(CountTest, MakesTheRoundedNumberOfCopies) {
  const CountCase& c = GetParam();
  view.count = c.count;
  view.pattern = "C[x]";
  click();

  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(opens, c.copies);
  EXPECT_EQ(view.appended.size(), static_cast<size_t>(c.copies));
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
  ASSERT_EQ(view.progressValues.size(), static_cast<size_t>(c.copies) + 1);
  if (c.copies > 0) {
    EXPECT_EQ(view.progressValues[c.copies - 1], 100.0);
  }
  for (int k = 1; k <= c.copies; ++k) {
    EXPECT_DOUBLE_EQ(view.progressValues[k - 1], 100.0 * k / c.copies);
  }
  EXPECT_EQ(view.progressValues.back(), 0.0);
  EXPECT_THAT(view.progressTexts, ElementsAre("Progress Bar"));
  if (c.copies > 0) {
    EXPECT_EQ(sheetNamesByEngine(view.path).size(), 2u + c.copies);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, CountTest,
                         ::testing::Values(CountCase{"0", 0}, CountCase{"-3", 0},
                                           CountCase{" 0.4 ", 0}, CountCase{"2.5", 2},
                                           CountCase{"3.5", 4}),
                         orv::testnames::byText(&CountCase::count));

class NotANumberTest : public RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NotANumberTest, AsksForANumberAndChangesNothing) {
  view.count = GetParam();
  const std::string before = readFile(view.path);
  click();

  EXPECT_THAT(view.log, ElementsAre(std::string("message ") + kNotANumber));
  EXPECT_THAT(view.messages, ElementsAre(Message{kNotANumber, 0, kTitle}));
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(warnings, 0);
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(readFile(view.path), before);
}

INSTANTIATE_TEST_SUITE_P(Texts, NotANumberTest, ::testing::Values("", "abc", " ", "1e3", "3,5"),
                         orv::testnames::paramText);

TEST_F(RunTest, LargestCountIsAcceptedAndLoopedThrough) {
  // Every candidate conflicts, so the loop runs its full length without
  // starting a single instance.
  view.pattern = "Taken";
  view.items.push_back("Taken");
  view.count = "32767";
  click();

  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(view.messages.size(), 32767u);
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
}

class OverflowTest : public RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OverflowTest, ReportedAtLine112ThenBackToIdle) {
  view.count = GetParam();
  click();

  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].line, 112);
  EXPECT_EQ(reports[0].tag, "in Quennet2021/08/31.Form1.PushButton2_Click ");
  EXPECT_EQ(reports[0].description.rfind("Overflow: ", 0), 0u) << reports[0].description;
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(opens, 0);
  EXPECT_THAT(view.log, ElementsAre("pointer 11", "box " + boxes.shown[0].text, "pointer 0",
                                    "progress 0.000000", "text Progress Bar"));
}

INSTANTIATE_TEST_SUITE_P(Counts, OverflowTest, ::testing::Values("32768", "32767.5", "-32769"),
                         orv::testnames::paramText);

TEST_F(RunTest, OverflowReportReadsAsTheBoxShowsIt) {
  view.count = "32768";
  click();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            std::string("Overflow: 32768 copies are too many; at most 32767 copies can be made in "
                        "one run.\r\nin Quennet2021/08/31.Form1.PushButton2_Click at line 112\r\r"
                        "Please email screenshot of this message to ") +
                kSupportAddress);
}

TEST_F(RunTest, MissingWorkbookEndsQuietly) {
  view.path = dir.file("gone.xlsx");
  click();
  EXPECT_TRUE(view.log.empty());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(warnings, 0);
}

TEST_F(RunTest, DeclinedWarningEndsQuietly) {
  declineWarning = true;
  const std::string before = readFile(view.path);
  click();
  EXPECT_EQ(warnings, 1);
  EXPECT_TRUE(view.log.empty());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(readFile(view.path), before);
}

TEST_F(RunTest, NoSelectionReportsEachCopyAndSavesNothing) {
  view.selected.reset();
  const std::string before = readFile(view.path);
  click();

  // Line 128 fails, the copy of line 130 has no source and fails too, and the
  // iteration goes on at 148: nothing renamed, listed or saved.
  EXPECT_THAT(reportedLines(), ElementsAre(128, 130, 128, 130, 128, 130));
  EXPECT_EQ(reports[0].description, kNoSheetSelected);
  EXPECT_EQ(opens, 3);
  EXPECT_TRUE(view.appended.empty());
  EXPECT_EQ(readFile(view.path), before);
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
  EXPECT_EQ(view.progressValues.back(), 0.0);
}

TEST_F(RunTest, WorkbookThatCannotBeOpenedIsReportedPerCopy) {
  std::ofstream(view.path, std::ios::trunc) << "just some text, no workbook\n";
  const std::string before = readFile(view.path);
  click();

  // 124 fails; 126 and 130 depend on it and fail in turn; the failed copy
  // sends the iteration to 148, so 132 to 146 never run and nothing stale
  // (an earlier sheet name, an earlier instance) is used.
  EXPECT_THAT(reportedLines(), ElementsAre(124, 126, 130, 124, 126, 130, 124, 126, 130));
  EXPECT_FALSE(reports[0].description.empty());
  EXPECT_EQ(opens, 3);
  EXPECT_TRUE(view.appended.empty());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(readFile(view.path), before);
  ASSERT_EQ(view.progressValues.size(), 4u);
  EXPECT_EQ(view.progressValues[2], 100.0);
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
}

TEST_F(RunTest, OnlyTheFailingCopiesAreLostWhenOpeningFailsOnce) {
  openWorkbook = [this](const std::string& p) -> std::unique_ptr<Application> {
    if (opens == 2) throw ServerError("The workbook is locked by another user.");
    return openWithEngine(p);
  };
  click();

  EXPECT_THAT(reportedLines(), ElementsAre(124, 126, 130));
  EXPECT_EQ(reports[0].description, "The workbook is locked by another user.");
  EXPECT_THAT(view.appended, ElementsAre("MySheet1", "MySheet3"));
  EXPECT_THAT(sheetNamesByEngine(view.path), ElementsAre("Data", "Other", "MySheet1", "MySheet3"));
}

// Another program saves its version between the run's look at the file and the next open: the
// run stops rather than build on that version, which lacks the copies already saved.
TEST_F(RunTest, AnotherProgramsSaveJustBeforeAnOpenStopsTheRun) {
  const std::string theirs = readFile(view.path);
  openWorkbook = [&](const std::string& p) {
    if (opens == 2) writeFile(p, theirs);
    return openWithEngine(p);
  };
  click();

  EXPECT_THAT(view.appended, ElementsAre("MySheet1"));
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_NE(view.messages[0].text.find("was changed by another program during the run"),
            std::string::npos);
  EXPECT_EQ(readFile(view.path), theirs);
}

TEST_F(RunTest, RefusedNameIsReportedAndTheCopyKeepsTheEngineName) {
  view.count = "1";
  view.pattern = "Bad/Name";
  click();

  EXPECT_THAT(reportedLines(), ElementsAre(134));
  const std::vector<std::string> names = sheetNamesByEngine(view.path);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_NE(names[2], "Bad/Name");
  EXPECT_THAT(view.appended, ElementsAre(names[2]));
}

TEST_F(RunTest, SecondClickDuringTheRunHasNoEffect) {
  view.count = "abc";
  bool inProgressDuringMessage = false;
  DuplicationRun run(view, services());
  view.onMessage = [&](const Message&) {
    inProgressDuringMessage = run.copyInProgress();
    click(run);  // the user clicks Start while the box is up
  };
  click(run);

  EXPECT_TRUE(inProgressDuringMessage);
  EXPECT_EQ(view.messages.size(), 1u);
  EXPECT_FALSE(run.copyInProgress());
  // The guard is released: the next click runs again.
  view.onMessage = nullptr;
  click(run);
  EXPECT_EQ(view.messages.size(), 2u);
  EXPECT_TRUE(boxes.shown.empty());
}

// Another program's office lock beside the workbook: the run shows who holds it and leaves
// the workbook and the lock as they are.
TEST_F(RunTest, WorkbookLockedElsewhereIsRefusedWithAMessage) {
  const std::string lock = dir.file(".~lock.Book.xlsx#");
  const std::string entry = "Ann Lee,ann,otherhost,01.02.2026 10:11,file:///home/ann/lo;";
  { std::ofstream(lock, std::ios::binary) << entry; }
  const std::string before = readFile(view.path);

  click();

  EXPECT_EQ(opens, 0);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "'Book.xlsx' is open in another program (locked by Ann Lee on otherhost since "
            "01.02.2026 10:11). Close it there and try again.");
  EXPECT_EQ(view.messages[0].style, 48);
  EXPECT_TRUE(view.pointers.empty());
  EXPECT_EQ(readFile(view.path), before);
  EXPECT_EQ(readFile(lock), entry);
}

// The run holds its own lock while it works; a file that another program rewrites between
// two copies stops the run before the next open, which would build on the other version.
TEST_F(RunTest, FileRewrittenBetweenCopiesStopsTheRunAndTheLockGoes) {
  const std::string lock = dir.file(".~lock.Book.xlsx#");
  std::vector<bool> locked;
  view.onProgress = [&](double value) {
    locked.push_back(std::filesystem::exists(lock));
    if (value > 50 && value < 100) writeWorkbook(view.path, {{"Data"}, {"Other"}, {"Theirs"}});
  };

  click();

  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(opens, 1);
  EXPECT_THAT(locked, ElementsAre(true, true, true));  // the last: the bar set back to 0
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_THAT(view.messages[0].text, ::testing::HasSubstr("changed by another program"));
  EXPECT_THAT(view.pointers, ElementsAre(11, 0));
  EXPECT_THAT(sheetNamesByEngine(view.path), ElementsAre("Data", "Other", "Theirs"));
  EXPECT_FALSE(std::filesystem::exists(lock));
}

}  // namespace
}  // namespace orv::test
