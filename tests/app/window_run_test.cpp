// One typical use, end to end on the real window: choose a workbook, pick a
// sheet, start the run. Real workbooks (libxlsxwriter fixtures and the shared
// corpus), the real engine, recording fakes for boxes, dialog and process
// table. The run's own table is tested apart (tests/automation_run); these
// tests prove the wiring of the window around it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <filesystem>
#include <functional>

#include "harness.h"
#include "tests/support/fixtures.h"
#include "ui/main/check_box.h"
#include "ui/main/form1.h"
#include "ui/main/progress_bar.h"
#include "ui/main/sheet_list.h"

namespace orv::test {
namespace {

const char kRunTag[] = "in Quennet2021/08/31.Form1.PushButton2_Click ";
const char kListTag[] = "in Quennet2021/08/31.Form1.Text1_Change ";
const char kNotANumber[] = "Please enter a number for how many copies.";

// What the bar showed each time it was painted during a run.
struct Painted {
  double value;
  QString text;
  int pointer;
  std::vector<std::string> onDisk;  // the workbook's sheets at that moment
};

// Calls `onPaint` for every paint of the watched widget.
class PaintWatch : public QObject {
 public:
  std::function<void()> onPaint;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && onPaint) onPaint();
    return false;
  }
};

class WindowRun : public ::testing::Test {
 protected:
  WindowRun() : form(h.services()) {}

  void SetUp() override {
    form.Form_Load();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(h.boxes.shown.empty());
    form.ProgressBar1->installEventFilter(&watch);
  }

  // A libxlsxwriter workbook in the test's folder.
  QString workbook(const std::vector<orv::test::FixtureSheet>& sheets,
                   const QString& name = "Book.xlsx") {
    const QString path = h.tempPath(name);
    QDir().mkpath(QFileInfo(path).path());
    writeWorkbook(path.toStdString(), sheets);
    return path;
  }

  // The user chooses `path` in the open-file dialog.
  void browseTo(const QString& path) {
    h.fileDialog.choice = path;
    QTest::mouseClick(form.PushButton3, Qt::LeftButton);
  }

  // Count, rename box and pattern as a user types and ticks them.
  void inputs(const QString& count, bool rename, const QString& pattern) {
    form.Text2->setText(count);
    if ((form.Check1->value() == 1) != rename) form.Check1->click();
    form.Text3->setText(pattern);
  }

  // Records what the bar shows each time a paint shows something new, with
  // the workbook as it stands on disk at that moment.
  void watchBar(const QString& path) {
    watch.onPaint = [this, path] {
      const double value = form.ProgressBar1->exactValue();
      const QString text = form.ProgressBar1->text();
      if (!painted.empty() && painted.back().value == value && painted.back().text == text) {
        return;
      }
      painted.push_back({value, text, form.mousePointer(), sheetNamesByEngine(path.toStdString())});
    };
  }

  void start() { QTest::mouseClick(form.PushButton2, Qt::LeftButton); }

  std::vector<QString> items() const {
    std::vector<QString> texts;
    for (int i = 1; i <= form.ListView1->count(); ++i) texts.push_back(form.ListView1->textAt(i));
    return texts;
  }

  std::vector<int> reportedLines(const QString& tag) const {
    std::vector<int> lines;
    for (const ShownBox& box : h.boxes.shown) {
      const qsizetype at = box.text.indexOf(tag + "at line ");
      if (at < 0) continue;
      EXPECT_EQ(box.caption, "Application Error");
      const qsizetype from = at + tag.size() + 8;
      lines.push_back(box.text.mid(from, box.text.indexOf('\r', from) - from).toInt());
    }
    return lines;
  }

  Harness h;
  Form1 form;
  PaintWatch watch;
  std::vector<Painted> painted;
};

// Every sheet with the first three cells of each, read by openpyxl.
constexpr const char* kOpenpyxlCells = R"(import sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
for ws in wb.worksheets:
    print("|".join([ws.title] + [str(ws[c].value) for c in ("A1", "A2", "A3")]))
)";

// ---------------------------------------------------------------- the run

// Every key runs the path box's change handler; the folders the path passes through on the way
// list nothing and show nothing, and the whole path lists the workbook.
TEST_F(WindowRun, PathTypedKeyByKeyListsTheWorkbookAtTheEndOnly) {
  const QString path = workbook({{"Alpha"}, {"Beta"}}, "sub folder/Book.xlsx");
  const int before = h.serversCreated;
  QTest::keyClicks(form.Text1, path);
  EXPECT_TRUE(h.boxes.shown.empty()) << h.boxes.shown.front().text.toStdString();
  EXPECT_EQ(items(), (std::vector<QString>{"Alpha", "Beta"}));
  EXPECT_EQ(h.serversCreated, before + 1);
}

TEST_F(WindowRun, ThreeNamedCopiesFromBrowseToSavedFile) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  EXPECT_EQ(form.Text1->text(), path);
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 1) << "the first listed sheet is ready to copy";

  inputs("3", true, "MySheet[x]");
  watchBar(path);
  int secondClicks = 0;
  const auto recordAndClick = watch.onPaint;
  watch.onPaint = [&] {
    recordAndClick();
    // The user clicks Start again while the first copy is under way.
    if (secondClicks++ == 0) QTest::mouseClick(form.PushButton2, Qt::LeftButton);
  };
  start();

  EXPECT_TRUE(h.boxes.shown.empty()) << h.boxes.shown[0].text.toStdString();
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other", "MySheet1", "MySheet2", "MySheet3"}));

  // 33.33..., 66.66..., 100 unrounded, then 0 and the idle text; the hourglass
  // throughout; each copy saved before the next starts.
  ASSERT_GE(painted.size(), 4u);
  EXPECT_DOUBLE_EQ(painted[0].value, 100.0 / 3);
  EXPECT_DOUBLE_EQ(painted[1].value, 200.0 / 3);
  EXPECT_EQ(painted[2].value, 100.0);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(painted[i].pointer, kHourglass) << i;
    EXPECT_EQ(painted[i].onDisk.size(), 2 + i) << "saved once per copy, before copy " << i + 1;
  }
  EXPECT_EQ(painted.back().value, 0.0);
  EXPECT_EQ(painted.back().text, "Progress Bar");
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
  EXPECT_EQ(form.ProgressBar1->exactValue(), 0.0);

  const std::vector<std::string> expected{"Data", "Other", "MySheet1", "MySheet2", "MySheet3"};
  EXPECT_EQ(sheetNamesByEngine(path.toStdString()), expected);
  EXPECT_EQ(runPython(kOpenpyxlCells, path.toStdString()),
            (std::vector<std::string>{"Data|Data A1|10|=A2*2", "Other|Other A1|20|=A2*2",
                                      "MySheet1|Data A1|10|=A2*2", "MySheet2|Data A1|10|=A2*2",
                                      "MySheet3|Data A1|10|=A2*2"}));
}

TEST_F(WindowRun, ClickQueuedDuringTheRunIsDroppedWhenItEnds) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  inputs("1", false, "");
  watchBar(path);
  const auto record = watch.onPaint;
  bool queued = false;
  watch.onPaint = [&] {
    record();
    if (queued) return;
    queued = true;
    // A click the user makes while the copy is under way waits in the queue.
    const QPoint centre = form.PushButton2->rect().center();
    const QPointF global = form.PushButton2->mapToGlobal(QPointF(centre));
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QCoreApplication::postEvent(
          form.PushButton2,
          new QMouseEvent(type, QPointF(centre), global, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier));
    }
  };
  start();
  QCoreApplication::processEvents();

  EXPECT_TRUE(queued);
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other", "Data (2)"}));
  EXPECT_EQ(sheetNamesByEngine(path.toStdString()),
            (std::vector<std::string>{"Data", "Other", "Data (2)"}));
}

TEST_F(WindowRun, PatternWithoutPlaceholderCopiesOnceThenRefusesTwice) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  inputs("3", true, "Summary");
  start();

  ASSERT_EQ(h.boxes.shown.size(), 2u);
  for (const ShownBox& box : h.boxes.shown) {
    EXPECT_EQ(box.text, "Summary already exists. Try using [x] or renaming the sheet name.");
    EXPECT_EQ(box.style, kOkOnly);
    EXPECT_EQ(box.caption, "Orvandel");
  }
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other", "Summary"}));
  EXPECT_EQ(runPython(kOpenpyxlCells, path.toStdString()),
            (std::vector<std::string>{"Data|Data A1|10|=A2*2", "Other|Other A1|20|=A2*2",
                                      "Summary|Data A1|10|=A2*2"}));
}

TEST_F(WindowRun, NameAlreadyInTheListSkipsThatCopy) {
  // Copy2 stands in the list from an earlier workbook's listing.
  browseTo(workbook({{"Copy2"}}, "earlier/Old.xlsx"));
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  EXPECT_EQ(form.ListView1->selectedPosition(), 1) << "the earlier selection (Copy2) is kept";
  form.ListView1->setCurrentItem(form.ListView1->topLevelItem(1));  // Data
  inputs("3", true, "Copy[x]");
  start();

  ASSERT_EQ(h.boxes.shown.size(), 1u);
  EXPECT_EQ(h.boxes.shown[0].text,
            "Copy2 already exists. Try using [x] or renaming the sheet name.");
  EXPECT_EQ(items(), (std::vector<QString>{"Copy2", "Data", "Other", "Copy1", "Copy3"}));
  EXPECT_EQ(sheetNamesByEngine(path.toStdString()),
            (std::vector<std::string>{"Data", "Other", "Copy1", "Copy3"}));
}

struct CountCase {
  const char* name;
  const char* count;
  int copies;    // -1: the "enter a number" message and nothing else
  int reportAt;  // the line of the one error report, 0 for none
};

class Counts : public WindowRun, public ::testing::WithParamInterface<CountCase> {};

TEST_P(Counts, MakeTheRoundedNumberOrExplainWhy) {
  const CountCase& c = GetParam();
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  const std::string before = readFile(path.toStdString());
  inputs(c.count, true, "C[x]");
  watchBar(path);
  start();

  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
  EXPECT_EQ(form.ProgressBar1->exactValue(), 0.0);
  EXPECT_EQ(form.ProgressBar1->text(), "Progress Bar");
  if (c.copies < 0) {
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text, kNotANumber);
    EXPECT_EQ(h.boxes.shown[0].style, kOkOnly);
    EXPECT_EQ(h.boxes.shown[0].caption, "Orvandel");
    EXPECT_TRUE(painted.empty()) << "the bar is left alone";
  } else if (c.reportAt != 0) {
    EXPECT_EQ(reportedLines(kRunTag), std::vector<int>{c.reportAt});
    EXPECT_EQ(h.boxes.shown.size(), 1u);
    ASSERT_FALSE(painted.empty()) << "the bar goes back to idle";
  } else {
    EXPECT_TRUE(h.boxes.shown.empty());
  }
  const int made = std::max(c.copies, 0);
  EXPECT_EQ(form.ListView1->count(), 2 + made);
  if (made == 0) {
    EXPECT_EQ(readFile(path.toStdString()), before);
  } else {
    std::vector<std::string> expected{"Data", "Other"};
    for (int k = 1; k <= made; ++k) expected.push_back("C" + std::to_string(k));
    EXPECT_EQ(sheetNamesByEngine(path.toStdString()), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Counts,
    ::testing::Values(CountCase{"Zero", "0", 0, 0}, CountCase{"MinusThree", "-3", 0, 0},
                      CountCase{"TwoAndAHalf", "2.5", 2, 0},
                      CountCase{"ThreeAndAHalf", "3.5", 4, 0}, CountCase{"Empty", "", -1, 0},
                      CountCase{"Letters", "abc", -1, 0}, CountCase{"TooMany", "32768", 0, 112}),
    [](const ::testing::TestParamInfo<CountCase>& info) { return std::string(info.param.name); });

TEST_F(WindowRun, LargestCountIsAcceptedAndLoopedThroughWithoutCopies) {
  // Every candidate is refused, so all 32767 iterations run without a copy.
  const QString path = workbook({{"Data"}, {"Taken"}});
  browseTo(path);
  const std::string before = readFile(path.toStdString());
  inputs("32767", true, "Taken");
  start();

  EXPECT_EQ(h.boxes.shown.size(), 32767u);
  EXPECT_TRUE(reportedLines(kRunTag).empty());
  EXPECT_EQ(form.ListView1->count(), 2);
  EXPECT_EQ(readFile(path.toStdString()), before);
  EXPECT_EQ(h.serversCreated, 2) << "the start-up probe and the listing only";
}

TEST_F(WindowRun, MissingWorkbookDoesNothing) {
  browseTo(workbook({{"Data"}}));
  form.Text1->setText(h.tempPath("gone.xlsx"));
  const int servers = h.serversCreated;
  watchBar(h.tempPath("gone.xlsx"));
  start();
  EXPECT_TRUE(h.boxes.shown.empty());
  EXPECT_TRUE(painted.empty());
  EXPECT_EQ(h.serversCreated, servers);
  EXPECT_EQ(form.ListView1->count(), 1);
}

TEST_F(WindowRun, DeclinedWarningLeavesTheWorkbookAlone) {
  const QString path = workbook({{"Data"}});
  browseTo(path);
  const std::string before = readFile(path.toStdString());
  h.processes.processes = {{42, "soffice.bin", "/usr/lib/libreoffice/program/soffice.bin"}};
  h.boxes.answers = {kNo};
  start();
  ASSERT_EQ(h.boxes.shown.size(), 1u);
  EXPECT_EQ(h.boxes.shown[0].style, kYesNo);
  EXPECT_EQ(readFile(path.toStdString()), before);
  EXPECT_EQ(form.ListView1->count(), 1);
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
}

TEST_F(WindowRun, NoSelectedSheetIsReportedForEachCopy) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  form.ListView1->clearSelection();
  const std::string before = readFile(path.toStdString());
  inputs("3", true, "MySheet[x]");
  start();

  EXPECT_EQ(reportedLines(kRunTag), (std::vector<int>{128, 130, 128, 130, 128, 130}));
  EXPECT_TRUE(h.boxes.shown[0].text.startsWith(
      "No sheet is selected in the list. Select the sheet to copy, then start again.\r\n"));
  EXPECT_EQ(readFile(path.toStdString()), before);
  EXPECT_EQ(form.ListView1->count(), 2);
}

TEST_F(WindowRun, WorkbookThatCannotBeOpenedIsReportedWithLineNumbers) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  // The file is replaced by something else after it was listed.
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("Name,Count\nA,1\n");
  file.close();
  inputs("2", true, "MySheet[x]");
  start();

  EXPECT_EQ(reportedLines(kRunTag), (std::vector<int>{124, 126, 130, 124, 126, 130}));
  EXPECT_EQ(form.ListView1->count(), 2);
  EXPECT_EQ(readFile(path.toStdString()), "Name,Count\nA,1\n");
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
}

TEST_F(WindowRun, CorpusWorkbookCopiesAsAnIndependentCheckerSees) {
  const std::string original = ORV_CORPUS_DIR "/poi_SampleSS.xlsx";
  if (!std::filesystem::exists(original)) GTEST_SKIP() << "no corpus at " << original;
  const QString path = h.tempPath("SampleSS.xlsx");
  std::filesystem::copy_file(original, path.toStdString());
  // The corpus is read-only, and a read-only workbook is not saved over; the user's copy is not.
  std::filesystem::permissions(path.toStdString(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  browseTo(path);
  ASSERT_EQ(items(), (std::vector<QString>{"First Sheet", "Sheet Number 2", "Sheet3"}));
  form.ListView1->setCurrentItem(form.ListView1->topLevelItem(1));
  inputs("2", true, "Copy [x]");
  start();

  EXPECT_TRUE(h.boxes.shown.empty()) << h.boxes.shown[0].text.toStdString();
  const std::vector<std::string> expected{"First Sheet", "Sheet Number 2", "Sheet3", "Copy 1",
                                          "Copy 2"};
  EXPECT_EQ(sheetNamesByEngine(path.toStdString()), expected);
  EXPECT_EQ(runPython("import sys, openpyxl\n"
                      "for ws in openpyxl.load_workbook(sys.argv[1]).worksheets: print(ws.title)\n",
                      path.toStdString()),
            expected);
  const std::string checker = ORV_CHECK_COPY;
  if (std::filesystem::exists(checker)) {
    const std::string command = "/usr/bin/python3 '" + checker + "' '" + original + "' '" +
                                path.toStdString() +
                                "' --source 'Sheet Number 2' --copies 'Copy 1,Copy 2'"
                                " --readers openpyxl --no-pdf >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
}

// ---------------------------------------------------------------- selection

TEST_F(WindowRun, BrowseSetsTheDialogAndCancelChangesNothing) {
  browseTo(workbook({{"Data"}}));
  EXPECT_EQ(h.fileDialog.title, "Select Excel File");
  EXPECT_EQ(h.fileDialog.filter, "Excel Files (*.xl*)|*.xl*|All Files (*.*)|*.*");
  EXPECT_EQ(h.fileDialog.flags, 0x280001u);

  const QString before = form.Text1->text();
  h.settings->write("Text1", "untouched");
  h.fileDialog.choice.clear();  // Cancel
  QTest::mouseClick(form.PushButton3, Qt::LeftButton);
  EXPECT_EQ(h.fileDialog.shows, 2);
  EXPECT_EQ(h.fileDialog.fileNamesShown[1], "") << "the earlier choice is not offered";
  EXPECT_EQ(form.Text1->text(), before);
  EXPECT_EQ(stored(h, "Text1"), "untouched");
  EXPECT_EQ(items(), std::vector<QString>{"Data"});
  EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(WindowRun, BrowseStartsInTheLastChosenFolder) {
  const QString first = workbook({{"Data"}}, "north/One.xlsx");
  browseTo(first);
  browseTo(workbook({{"Other"}}, "south/Two.xlsx"));
  h.fileDialog.choice.clear();
  QTest::mouseClick(form.PushButton3, Qt::LeftButton);
  ASSERT_EQ(h.fileDialog.foldersShown.size(), 3u);
  EXPECT_EQ(h.fileDialog.foldersShown[0], "") << "nothing chosen yet: the desktop's usual place";
  EXPECT_EQ(h.fileDialog.foldersShown[1], h.tempPath("north"));
  EXPECT_EQ(h.fileDialog.foldersShown[2], h.tempPath("south"));
  // Kept in memory only: the store holds the inputs' keys and nothing else.
  QSettings file(h.settingsFile(), QSettings::IniFormat);
  const QStringList inputs{"Orvandel/Check1", "Orvandel/Text1", "Orvandel/Text2", "Orvandel/Text3"};
  for (const QString& key : file.allKeys()) {
    EXPECT_TRUE(inputs.contains(key)) << key.toStdString();
  }
}

TEST_F(WindowRun, DeclinedWarningOpensNoDialog) {
  h.processes.processes = {{7, "gnumeric", "gnumeric"}};
  h.boxes.answers = {kNo};
  h.fileDialog.choice = workbook({{"Data"}});
  QTest::mouseClick(form.PushButton3, Qt::LeftButton);
  EXPECT_EQ(h.fileDialog.shows, 0);
  EXPECT_EQ(form.Text1->text(), "");
  EXPECT_EQ(form.ListView1->count(), 0);
}

TEST_F(WindowRun, SampleButtonWithoutASampleShowsThePathOnly) {
  QTest::mouseClick(form.PushButton10, Qt::LeftButton);
  EXPECT_EQ(form.Text1->text(), h.appFolder() + "/Samples/sample1.xls");
  EXPECT_EQ(stored(h, "Text1"), form.Text1->text());
  EXPECT_EQ(form.ListView1->count(), 0);
  EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(WindowRun, SampleButtonListsTheSample) {
  const QString sample = h.appFolder() + "/Samples/sample1.xls";
  QDir().mkpath(h.appFolder() + "/Samples");
  // Told by its bytes, not its name: an .xlsx package under the sample's name.
  writeWorkbook(sample.toStdString(), {{"Data"}, {"Chart1", true}, {"Notes"}});
  QTest::mouseClick(form.PushButton10, Qt::LeftButton);
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Notes"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 1);
}

TEST_F(WindowRun, ClearFileKeepsTheListAndItsSelection) {
  browseTo(workbook({{"Data"}, {"Other"}}));
  form.ListView1->setCurrentItem(form.ListView1->topLevelItem(1));
  QTest::mouseClick(form.PushButton11, Qt::LeftButton);
  EXPECT_EQ(form.Text1->text(), "");
  EXPECT_EQ(stored(h, "Text1"), "");
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 2);
}

TEST_F(WindowRun, SameWorkbookAgainIsListedAgainAndTheSelectionStays) {
  const QString path = workbook({{"Data"}, {"Other"}});
  browseTo(path);
  form.ListView1->setCurrentItem(form.ListView1->topLevelItem(1));
  QTest::mouseClick(form.PushButton11, Qt::LeftButton);
  browseTo(path);
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other", "Data", "Other"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 2);
}

class NoWorkbookTyped : public WindowRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoWorkbookTyped, IsReportedByTheChangeHandlerAndLosesNothing) {
  browseTo(workbook({{"Data"}, {"Other"}}));
  form.ListView1->setCurrentItem(form.ListView1->topLevelItem(1));
  const QString path = h.tempPath(GetParam());
  if (QString(GetParam()) == "folder") {
    QDir().mkpath(path);
  } else {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("plain text, no workbook");
  }
  const int servers = h.serversCreated;
  form.Text1->setText(path);

  // A folder is no file: like a missing one it lists nothing and says nothing, since every
  // path typed key by key passes through folders.
  const bool folder = QString(GetParam()) == "folder";
  EXPECT_EQ(reportedLines(kListTag), folder ? std::vector<int>{} : std::vector<int>{104});
  ASSERT_EQ(h.boxes.shown.size(), folder ? 0u : 1u);
  if (!folder) {
    EXPECT_TRUE(h.boxes.shown[0].text.contains("it is a text file"))
        << h.boxes.shown[0].text.toStdString();
  }
  EXPECT_EQ(stored(h, "Text1"), path);
  EXPECT_EQ(form.Text1->text(), path);
  EXPECT_EQ(items(), (std::vector<QString>{"Data", "Other"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 2);
  EXPECT_LE(h.serversCreated, servers + (folder ? 0 : 1)) << "at most one instance tried";
}

INSTANTIATE_TEST_SUITE_P(Entries, NoWorkbookTyped, ::testing::Values("folder", "notes.xlsx"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return QString(info.param).section('.', 0, 0).toStdString();
                         });

}  // namespace
}  // namespace orv::test
