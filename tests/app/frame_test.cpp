// The frame's small pieces: settings store, file helpers, number texts, the
// application title, the error report and the trap runner, the cursor header.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <array>
#include <stdexcept>

#include "app/desktop_services.h"
#include "app/error_report.h"
#include "app/file_helpers.h"
#include "app/hand_cursor.h"
#include "app/settings_store.h"
#include "automation/app_title.h"
#include "automation/trap.h"
#include "harness.h"
#include "tests/test_names.h"

namespace orv::test {
namespace {

// ---------------------------------------------------------------- settings

TEST(SettingsStore, AbsentKeyGivesDefaultButEmptyTextStaysEmpty) {
  QTemporaryDir dir;
  SettingsStore store(dir.path() + "/s.ini");
  EXPECT_EQ(store.read("Text2", "5"), "5");
  store.write("Text2", "");
  EXPECT_EQ(store.read("Text2", "5"), "");
}

TEST(SettingsStore, WritesReachTheDiskUnderApplicationAndSection) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/s.ini";
  SettingsStore store(path);
  store.write("Text3", "Day[x]");
  // A second reader, as the next start would be, sees it without any close.
  QSettings other(path, QSettings::IniFormat);
  EXPECT_EQ(other.value("Orvandel/Text3").toString(), "Day[x]");
  EXPECT_EQ(other.childGroups(), QStringList{"Orvandel"});
}

TEST(SettingsStore, LastWriteOfTwoInstancesWins) {
  QTemporaryDir dir;
  SettingsStore first(dir.path() + "/s.ini");
  SettingsStore second(dir.path() + "/s.ini");
  first.write("Text2", "3");
  second.write("Text2", "4");
  EXPECT_EQ(first.read("Text2", "5"), "4");
}

TEST(SettingsStore, HandEditedListReadsAsText) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/s.ini";
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("[Orvandel]\nText3=a, b\n");
  file.close();
  EXPECT_EQ(SettingsStore(path).read("Text3", ""), "a, b");
}

TEST(SettingsStore, FailedWriteThrowsWithTheKey) {
  QTemporaryDir dir;
  QFile blocker(dir.path() + "/file");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  // The settings folder would have to be made inside a plain file.
  SettingsStore store(dir.path() + "/file/s.ini");
  try {
    store.write("Text2", "7");
    FAIL() << "write did not fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"Text2\""), std::string::npos) << e.what();
  }
}

class SettingsRoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(SettingsRoundTrip, ValueComesBackExactly) {
  QTemporaryDir dir;
  const QString value = QString::fromUtf8(GetParam());
  SettingsStore(dir.path() + "/s.ini").write("Text3", value);
  EXPECT_EQ(SettingsStore(dir.path() + "/s.ini").read("Text3", "default"), value);
}

INSTANTIATE_TEST_SUITE_P(StoredAsTyped, SettingsRoundTrip,
                         testing::Values("  MySheet[x]  ", "a,b", "@Variant(x)", "\"quoted\"",
                                         "semi;colon #hash", "back\\slash", "Día [x] ünï", "true",
                                         "0", "line\nbreak", "=equals="),
                         orv::testnames::paramText);

// ---------------------------------------------------------------- file helpers

TEST(FileExists, AnswersFromThePathAlone) {
  QTemporaryDir dir;
  const QString file = dir.path() + "/book.xlsx";
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  EXPECT_TRUE(FileExists(file));
  ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner));
  EXPECT_TRUE(FileExists(file)) << "read-only files exist too";
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir.path() + "/missing.xlsx"));
  EXPECT_FALSE(FileExists(dir.path() + "/missing/book.xlsx"));
  EXPECT_FALSE(FileExists(file + QChar(u'\0') + "x"));
  EXPECT_FALSE(FileExists(dir.path())) << "a folder is no file";
  EXPECT_FALSE(FileExists(dir.path() + "/")) << "a folder is no file";
  ASSERT_TRUE(QFile::remove(file));
  EXPECT_FALSE(FileExists(file)) << "deleted a moment ago";
}

TEST(FileExists, BrokenLinkDoesNotCount) {
  QTemporaryDir dir;
  ASSERT_TRUE(QFile::link(dir.path() + "/gone", dir.path() + "/link"));
  EXPECT_FALSE(FileExists(dir.path() + "/link"));
}

TEST(InDevelopmentEnvironment, FollowsTheBuildOption) {
#ifdef ORVANDEL_DEVELOPMENT
  EXPECT_TRUE(InDevelopmentEnvironment());
#else
  EXPECT_FALSE(InDevelopmentEnvironment());
  EXPECT_FALSE(InDevelopmentEnvironment());
#endif
}

// ---------------------------------------------------------------- title

struct TitleCase {
  const char* product;
  const char* title;
};

class AppTitle : public testing::TestWithParam<TitleCase> {};

TEST_P(AppTitle, CutsWholeWordsToFortyCharacters) {
  const std::string title = appTitleFrom(GetParam().product);
  EXPECT_EQ(title, GetParam().title);
  EXPECT_LE(title.size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppTitle,
    testing::Values(TitleCase{"Orvandel", "Orvandel"},
                    // Short enough already, and still loses its last word.
                    TitleCase{"Orvandel Sheet Copier", "Orvandel Sheet"},
                    TitleCase{"The Quite Remarkably Long Sheet Copying Tool For Everyone",
                              "The Quite Remarkably Long Sheet Copying"},
                    TitleCase{"Averyveryveryveryveryveryveryverylongsingleword x",
                              "Averyveryveryveryveryveryveryverylongsin"},
                    TitleCase{"Averyveryveryveryveryveryveryverylongsingleword",
                              "Averyveryveryveryveryveryveryverylongsin"}),
    orv::testnames::byText(&TitleCase::product));

// ---------------------------------------------------------------- report and trap

TEST(ErrorReport, TextIsJoinedExactly) {
  EXPECT_EQ(
      ErrorReport::text("Cannot open the cursor.", "in Quennet2021/08/31.Form1.Form_Load ", 106),
      "Cannot open the cursor.\r\nin Quennet2021/08/31.Form1.Form_Load at line 106\r\r"
      "Please email screenshot of this message to support@example.com");
  // An empty description leaves the first line empty.
  EXPECT_TRUE(ErrorReport::text("", "in X ", 100).startsWith("\r\nin X at line 100\r\r"));
}

TEST(ErrorReport, ShownAsWarningWithItsOwnCaption) {
  FakeBoxes boxes;
  ErrorReport(boxes).show("Oops.", locationTag("Form1", "PushButton2_Click").toStdString(), 124);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "Oops.\r\nin Quennet2021/08/31.Form1.PushButton2_Click at line 124\r\r"
            "Please email screenshot of this message to support@example.com");
  EXPECT_EQ(boxes.shown[0].style, 48);
  EXPECT_EQ(boxes.shown[0].caption, "Application Error");
}

TEST(ErrorReport, ScreenShowsEveryBreakAsALine) {
  EXPECT_EQ(screenText("a\r\nb\r\rc"), "a\nb\n\nc");
}

class TrapRunner : public testing::Test {
 protected:
  // A row that records its own line and then goes to `next`, or fails with
  // `failure` when one is given.
  Step row(int line, int next, const char* failure = nullptr, int resumeAt = kNext) {
    return {line,
            [this, line, next, failure] {
              ran.push_back(line);
              if (failure) throw std::runtime_error(failure);
              return next;
            },
            resumeAt};
  }
  std::vector<int> reportedLines() {
    std::vector<int> lines;
    for (const ShownBox& box : boxes.shown) {
      const qsizetype at = box.text.indexOf("at line ");
      lines.push_back(box.text.mid(at + 8, box.text.indexOf('\r', at) - at - 8).toInt());
    }
    return lines;
  }

  std::vector<int> ran;
  FakeBoxes boxes;
  ErrorReport report{boxes};
  const std::string tag = locationTag("Form1", "PushButton2_Click").toStdString();
};

TEST_F(TrapRunner, ReportsEachFailureAndResumesWhereTheTableSays) {
  runTrapped(tag,
             {row(100, kNext, "first"), row(102, 106), row(104, kNext),
              row(106, kNext, "second", 110), row(108, kNext), row(110, kReturn), row(112, kNext)},
             report);
  EXPECT_EQ(ran, (std::vector<int>{100, 102, 106, 110}));
  EXPECT_EQ(reportedLines(), (std::vector<int>{100, 106}));
  EXPECT_TRUE(boxes.shown[0].text.startsWith(
      "first\r\nin Quennet2021/08/31.Form1.PushButton2_Click at line 100"));
}

TEST_F(TrapRunner, SharedLineNumbersReportTheSameLineAndStillRunInOrder) {
  // Three statements on line 126, the middle one a failing call.
  std::vector<Step> steps = {row(126, kNext), row(126, kNext, "inside a called routine"),
                             row(126, kNext), row(128, kNext)};
  int order = 0;
  for (Step& step : steps) {
    step.run = [this, run = step.run, n = ++order] {
      ran.push_back(n);
      return run();
    };
  }
  runTrapped(tag, steps, report);
  EXPECT_EQ(ran, (std::vector<int>{1, 126, 2, 126, 3, 126, 4, 128}));
  EXPECT_EQ(reportedLines(), (std::vector<int>{126}));
}

TEST_F(TrapRunner, UntrappedHandlerStopsAtItsFirstFailure) {
  runUntrapped(locationTag("Form1", "Text1_Change").toStdString(),
               {row(100, kNext), row(102, kNext, "broken"), row(104, kNext)}, report);
  EXPECT_EQ(ran, (std::vector<int>{100, 102}));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "broken\r\nin Quennet2021/08/31.Form1.Text1_Change at line 102\r\r"
            "Please email screenshot of this message to support@example.com");
}

TEST_F(TrapRunner, NonStandardThrowIsReportedToo) {
  runTrapped(tag, {{100, []() -> int { throw 42; }}, row(102, kNext)}, report);
  EXPECT_EQ(ran, std::vector<int>{102});
  EXPECT_EQ(reportedLines(), std::vector<int>{100});
}

// ---------------------------------------------------------------- cursor header

TEST(CursorHotSpot, ReadFromTheFirstEntry) {
  QByteArray header(22, '\0');
  header[2] = 2;   // cursor
  header[4] = 1;   // one picture
  header[10] = 5;  // hot spot x
  header[12] = 9;  // hot spot y
  EXPECT_EQ(cursorHotSpot(header), QPoint(5, 9));
}

class NotACursor : public testing::TestWithParam<QByteArray> {};

TEST_P(NotACursor, HasNoHotSpot) { EXPECT_FALSE(cursorHotSpot(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(
    Malformed, NotACursor,
    testing::Values(QByteArray(), QByteArray("\0\0\2\0\1\0", 6),
                    QByteArray("\0\0\1\0\1\0" + QByteArray(16, '\0')),
                    QByteArray("\0\0\2\0\0\0" + QByteArray(16, '\0')),
                    QByteArray("\x89PNG\r\n\x1a\n" + QByteArray(20, 'x'))),
    [](const testing::TestParamInfo<QByteArray>& info) {
      return std::string(
          std::array{"Empty", "TooShort", "IconNotCursor", "NoPicture", "Png"}.at(info.index));
    });

TEST(CursorFile, ShippedHandKeepsItsHotSpot) {
  const QCursor hand = loadCursorFile(ORVANDEL_ASSETS "/HAND-M.CUR");
  EXPECT_EQ(hand.shape(), Qt::BitmapCursor);
  EXPECT_EQ(hand.hotSpot(), QPoint(5, 0));
  EXPECT_EQ(hand.pixmap().size(), QSize(32, 32));
}

TEST(CursorFile, GarbageIsAClearFailure) {
  QTemporaryDir dir;
  QFile file(dir.path() + "/HAND-M.CUR");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("this is no picture");
  file.close();
  try {
    loadCursorFile(file.fileName());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("is not a picture"), std::string::npos) << e.what();
  }
}

// ---------------------------------------------------------------- file dialog filter

TEST(FileDialogFilter, PipeListBecomesQtChoices) {
  EXPECT_EQ(qtFileFilter("Excel Files (*.xl*)|*.xl*|All Files (*.*)|*.*"),
            "Excel Files (*.xl*);;All Files (*)");
  EXPECT_EQ(qtFileFilter("Books|*.xlsx;*.xls"), "Books (*.xlsx *.xls)");
}

}  // namespace
}  // namespace orv::test
