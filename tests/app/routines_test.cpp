// The server routines: the start-up probe, the workbook opener and the
// running-spreadsheet warning.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <array>

#include "app/process_table.h"
#include "automation/app_title.h"
#include "automation/server_routines.h"
#include "harness.h"
#include "tests/test_names.h"

namespace orv::test {
namespace {

const char kGuidance[] =
    "Error 842001. A normal instance of Excel could not be created.\r\n\r\n"
    "1. Please make sure Excel is installed on this computer.\r\n\r\n"
    "2. Please open Excel normally and make sure a blank spreadsheet opens immediately without any "
    "interrupting window (such as an Excel file recovery window).\r\n\r\n"
    "3. Please make sure that when you double-click on a XLS or XLSX file that Excel opens "
    "normally without any interrupting messages.\r\n\r\n"
    "4. All versions of Excel are supported by this software except for the rare Excel Starter "
    "and Student editions.";

const char kWarning[] =
    "Excel may be open. It is recommended that you close Excel first.\r"
    "Use Ctrl+Alt+Del > Task Manager > EXCEL.EXE if necessary.\r\n\r\n"
    "Would you like to proceed anyway?";

TEST(CheckExcelInstalled, WorkingEngineShowsNothingAndGoesOn) {
  FakeBoxes boxes;
  std::vector<int> ends;
  int made = 0;
  CheckExcelInstalled(
      [&] {
        ++made;
        return createApplication();
      },
      boxes, [&](int code) { ends.push_back(code); });
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(ends.empty());
}

class NoEngine : public testing::TestWithParam<int> {};

TEST_P(NoEngine, ShowsTheGuidanceAndEndsTheProcess) {
  SetAppTitle();
  FakeBoxes boxes;
  std::vector<int> ends;
  const ServerFactory throwing = []() -> std::unique_ptr<Application> {
    throw ServerError("cannot start");
  };
  const ServerFactory empty = []() -> std::unique_ptr<Application> { return nullptr; };
  const ServerFactory foreign = []() -> std::unique_ptr<Application> { throw 7; };
  const ServerFactory factories[] = {throwing, empty, foreign};
  CheckExcelInstalled(factories[GetParam()], boxes, [&](int code) { ends.push_back(code); });
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kGuidance);
  EXPECT_EQ(boxes.shown[0].style, 0);
  EXPECT_EQ(boxes.shown[0].caption, "Orvandel");
  EXPECT_EQ(ends, std::vector<int>{1});
}

INSTANTIATE_TEST_SUITE_P(Failures, NoEngine, testing::Values(0, 1, 2),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(
                               std::array{"Throws", "GivesNothing", "ThrowsAForeignValue"}.at(
                                   info.param));
                         });

TEST(OpenWorkbook, FailureReachesTheCaller) {
  QTemporaryDir dir;
  QFile text(dir.path() + "/notes.txt");
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write("just text\n");
  text.close();
  int made = 0;
  const ServerFactory factory = [&] {
    ++made;
    return createApplication();
  };
  EXPECT_THROW(OpenWorkbook(factory, text.fileName().toStdString()), ServerError);
  EXPECT_EQ(made, 1);
  EXPECT_THROW(OpenWorkbook([]() -> std::unique_ptr<Application> { return nullptr; },
                            text.fileName().toStdString()),
               ServerError);
}

struct ProcessCase {
  const char* name;
  const char* argv0;
  bool spreadsheet;
};

class SpreadsheetProcess : public testing::TestWithParam<ProcessCase> {};

TEST_P(SpreadsheetProcess, RecognisedByNameOrProgram) {
  const ProcessCase& c = GetParam();
  EXPECT_EQ(isSpreadsheetProcess({1, c.name, c.argv0}), c.spreadsheet) << c.name << " " << c.argv0;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpreadsheetProcess,
    testing::Values(
        ProcessCase{"soffice.bin", "/usr/lib/libreoffice/program/soffice.bin", true},
        ProcessCase{"gnumeric", "gnumeric", true},
        ProcessCase{"EXCEL.EXE", "C:\\Program Files\\Microsoft Office\\EXCEL.EXE", true},
        ProcessCase{"wine-preloader", "C:\\Office\\excel.exe", true},
        ProcessCase{"et", "/opt/kingsoft/wps-office/office6/et", true},
        ProcessCase{"DesktopEditors", "/opt/onlyoffice/desktopeditors/DesktopEditors", true},
        ProcessCase{"onlyoffice-desk", "onlyoffice-desktopeditors", true},
        // As Windows lists them.
        ProcessCase{"et.exe", "C:\\WPS Office\\office6\\et.exe", true},
        ProcessCase{"DesktopEditors.exe", "C:\\ONLYOFFICE\\DesktopEditors.exe", true},
        ProcessCase{"soffice.bin", "C:\\LibreOffice\\program\\soffice.bin", true},
        ProcessCase{"etcd.exe", "C:\\etcd\\etcd.exe", false},
        ProcessCase{".exe", ".exe", false},
        // Look-alikes that are not spreadsheet applications.
        ProcessCase{"soffice", "/usr/bin/soffice", false}, ProcessCase{"bash", "bash", false},
        ProcessCase{"etcd", "/usr/bin/etcd", false},
        ProcessCase{"excel.exe.sh", "/tmp/excel.exe.sh", false},
        ProcessCase{"sleep", "/home/u/et/sleep", false}, ProcessCase{"", "", false}),
    [](const testing::TestParamInfo<ProcessCase>& info) {
      return orv::testnames::fromText(std::string(info.param.name) + " " +
                                      std::to_string(info.index));
    });

TEST(IsExcelRunning, AnyOfTheUsersProcesses) {
  FakeProcessTable table;
  table.processes = {{10, "bash", "bash"}, {11, "Xorg", "/usr/lib/xorg/Xorg"}};
  EXPECT_FALSE(IsExcelRunning(table));
  table.processes.push_back({12, "gnumeric", "/usr/bin/gnumeric"});
  EXPECT_TRUE(IsExcelRunning(table));
  table.fail = true;
  EXPECT_FALSE(IsExcelRunning(table)) << "an unreadable table is no running application";
}

TEST(IsExcelRunning, SeesARealProcessOfThatName) {
  QTemporaryDir dir;
  const QString fake = dir.path() + "/soffice.bin";
  ASSERT_TRUE(QFile::copy("/bin/sleep", fake));
  QProcess process;
  process.start(fake, {"30"});
  ASSERT_TRUE(process.waitForStarted());
  SystemProcessTable table;
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    for (const ProcessInfo& p : table.currentUserProcesses()) {
      if (p.pid == process.processId()) seen = p.name == "soffice.bin";
    }
    if (!seen) QThread::msleep(10);
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(IsExcelRunning(table));
  process.kill();
  process.waitForFinished();
}

TEST(WarnIfExcelOpen, AsksOnlyWhenOneRuns) {
  SetAppTitle();
  FakeBoxes boxes;
  FakeProcessTable table;
  EXPECT_FALSE(WarnIfExcelOpen(table, boxes));
  EXPECT_TRUE(boxes.shown.empty());

  table.processes = {{5, "soffice.bin", "soffice.bin"}};
  boxes.answers = {kYes, kNo};
  EXPECT_FALSE(WarnIfExcelOpen(table, boxes)) << "Yes: proceed";
  EXPECT_TRUE(WarnIfExcelOpen(table, boxes)) << "No: do not proceed";
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[0].text, kWarning);
  EXPECT_EQ(boxes.shown[0].style, 4);
  EXPECT_EQ(boxes.shown[0].caption, "Orvandel");
}

}  // namespace
}  // namespace orv::test
