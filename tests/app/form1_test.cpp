// The main window, driven through its real widgets: layout, the load step,
// the input handlers, the Delete key and the hover feedback.
#include "ui/main/form1.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include "automation/app_title.h"
#include "harness.h"
#include "tests/test_names.h"
#include "ui/main/check_box.h"
#include "ui/main/progress_bar.h"
#include "ui/main/sheet_list.h"

namespace orv::test {
namespace {

const char kFormLoad[] = "in Quennet2021/08/31.Form1.Form_Load ";

class Form1Test : public testing::Test {
 protected:
  Form1Test() : form(h.services()) {}

  // The line numbers of the error reports shown so far, for `tag`.
  std::vector<int> reportedLines(const QString& tag = kFormLoad) {
    std::vector<int> lines;
    for (const ShownBox& box : h.boxes.shown) {
      const qsizetype at = box.text.indexOf(tag + "at line ");
      if (at < 0) continue;
      const qsizetype from = at + tag.size() + 8;
      lines.push_back(box.text.mid(from, box.text.indexOf('\r', from) - from).toInt());
    }
    return lines;
  }

  void moveOver(QWidget* widget, std::optional<QPointF> point = std::nullopt) {
    const QPointF at = point.value_or(QRectF(widget->rect()).center());
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
  }

  Harness h;
  Form1 form;
};

// ---------------------------------------------------------------- layout

struct Placement {
  const char* name;
  const char* parent;
  QRect pixels;
};

class Layout : public Form1Test, public testing::WithParamInterface<Placement> {};

TEST_P(Layout, ControlSitsWhereItsTwipsSay) {
  const Placement& p = GetParam();
  QWidget* control = nullptr;
  for (QWidget* c : form.controls()) {
    if (c->objectName() == p.name) control = c;
  }
  ASSERT_NE(control, nullptr) << p.name;
  EXPECT_EQ(control->geometry(), p.pixels) << p.name;
  EXPECT_EQ(control->parentWidget()->objectName(), p.parent) << p.name;
}

INSTANTIATE_TEST_SUITE_P(
    Controls, Layout,
    testing::Values(Placement{"Frame2", "Form1", QRect(8, 194, 520, 145)},
                    Placement{"Check1", "Frame2", QRect(16, 73, 249, 17)},
                    Placement{"Text3", "Frame2", QRect(16, 93, 489, 23)},
                    Placement{"Text2", "Frame2", QRect(16, 40, 489, 23)},
                    Placement{"Label3", "Frame2", QRect(16, 120, 240, 17)},
                    Placement{"Label1", "Frame2", QRect(16, 20, 249, 17)},
                    Placement{"Frame1", "Form1", QRect(8, 8, 520, 181)},
                    Placement{"Text1", "Frame1", QRect(16, 20, 433, 23)},
                    Placement{"ListView1", "Frame1", QRect(16, 84, 489, 86)},
                    Placement{"PushButton3", "Frame1", QRect(455, 20, 48, 23)},
                    Placement{"PushButton10", "Frame1", QRect(16, 50, 240, 27)},
                    Placement{"PushButton11", "Frame1", QRect(264, 50, 240, 27)},
                    Placement{"PushButton2", "Form1", QRect(8, 347, 520, 27)},
                    Placement{"ProgressBar1", "Form1", QRect(8, 382, 520, 27)}),
    [](const testing::TestParamInfo<Placement>& info) { return info.param.name; });

TEST_F(Form1Test, WindowAsDesigned) {
  EXPECT_EQ(form.size(), QSize(536, 417));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the user cannot resize it";
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(form.windowTitle(), "Form1");
  EXPECT_FALSE(form.Text3->isEnabled());
  EXPECT_FALSE(form.Label3->isEnabled());
  EXPECT_EQ(form.ListView1->columns(), 0) << "the load step adds the one column";
  EXPECT_EQ(form.ProgressBar1->text(), "Progress Bar");
  const QImage icon = form.windowIcon().pixmap(32, 32).toImage();
  for (int y = 0; y < icon.height(); ++y) {
    for (int x = 0; x < icon.width(); ++x) ASSERT_EQ(qAlpha(icon.pixel(x, y)), 0);
  }
  const QRect screen = form.screen()->availableGeometry();
  EXPECT_LE(std::abs(form.geometry().center().x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(form.geometry().center().y() - screen.center().y()), 1);
}

TEST_F(Form1Test, FontsResolveToArialMetrics) {
  const QFontInfo plain(form.Label1->font());
  EXPECT_EQ(form.Label1->font().family(), "Arial");
  EXPECT_EQ(form.Label1->font().pointSizeF(), 9.0);
  EXPECT_TRUE(plain.bold());
  EXPECT_EQ(form.ListView1->font().pointSizeF(), 9.0);
  for (QPushButton* b :
       {form.PushButton2, form.PushButton3, form.PushButton10, form.PushButton11}) {
    EXPECT_EQ(b->font().pointSizeF(), 11.25) << b->objectName().toStdString();
    EXPECT_TRUE(b->font().bold());
  }
  // fonts-liberation stands in for Arial with the same metrics.
  EXPECT_TRUE(plain.family() == "Arial" || plain.family() == "Liberation Sans")
      << plain.family().toStdString();
}

TEST_F(Form1Test, TabOrderPassesOverWhatTakesNoFocus) {
  form.show();
  form.activateWindow();
  QApplication::setActiveWindow(&form);
  form.Text1->setFocus();
  std::vector<QString> visited;
  for (int i = 0; i < 9; ++i) {
    visited.push_back(QApplication::focusWidget()->objectName());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  EXPECT_EQ(visited,
            (std::vector<QString>{"Text1", "ListView1", "Text2", "Check1", "PushButton3",
                                  "PushButton2", "PushButton10", "PushButton11", "Text1"}));
  // With renaming on, the pattern box takes its turn after the count.
  form.Check1->setValue(1);
  form.Text2->setFocus();
  QTest::keyClick(form.Text2, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form.Text3);
}

// ---------------------------------------------------------------- load step

TEST_F(Form1Test, FirstStartStoresTheDefaults) {
  h.clock.now = 3600.25;
  form.Form_Load();
  EXPECT_TRUE(h.boxes.shown.empty());
  EXPECT_EQ(form.Text1->text(), "");
  EXPECT_EQ(form.Text2->text(), "5");
  EXPECT_EQ(form.Text3->text(), "MySheet[x]");
  EXPECT_EQ(form.Check1->value(), 0);
  EXPECT_FALSE(form.Text3->isEnabled());
  EXPECT_EQ(stored(h, "Text1"), "");
  EXPECT_EQ(stored(h, "Text2"), "5");
  EXPECT_EQ(stored(h, "Text3"), "MySheet[x]");
  EXPECT_EQ(stored(h, "Check1"), "<absent>") << "clear is no change, so nothing is written";
  EXPECT_EQ(form.windowTitle(), "Orvandel");
  EXPECT_FALSE(form.windowIcon().pixmap(32, 32).toImage().pixelColor(16, 16).alpha() == 0);
  EXPECT_EQ(applicationTitle(), "Orvandel");
  EXPECT_EQ(form.ListView1->columns(), 1);
  EXPECT_EQ(form.ListView1->headerItem()->text(0), "Sheets");
  EXPECT_EQ(form.ListView1->columnWidth(0), 433);
  EXPECT_FALSE(form.ListView1->isHeaderHidden());
  EXPECT_EQ(h.random.seeds, std::vector<double>{3600.25});
  EXPECT_TRUE(h.web.opened.empty());
  EXPECT_EQ(h.serversCreated, 1) << "the probe makes one real instance";
  EXPECT_TRUE(h.endCodes.empty());
  EXPECT_FALSE(form.hasCustomPointer()) << "no HAND-M.CUR in the folder";
}

TEST_F(Form1Test, StoredInputsComeBackAndThePathDoesNot) {
  h.settings->write("Text1", "/home/u/book.xlsx");
  h.settings->write("Text2", "");
  h.settings->write("Text3", "  Day [x] ");
  h.settings->write("Check1", "1");
  form.Form_Load();
  EXPECT_TRUE(h.boxes.shown.empty());
  EXPECT_EQ(form.Text1->text(), "");
  EXPECT_EQ(stored(h, "Text1"), "");
  EXPECT_EQ(form.Text2->text(), "") << "the default is for an absent key only";
  EXPECT_EQ(form.Text3->text(), "  Day [x] ");
  EXPECT_EQ(form.Check1->value(), 1);
  EXPECT_TRUE(form.Text3->isEnabled());
  EXPECT_TRUE(form.Label3->isEnabled());
  EXPECT_EQ(stored(h, "Check1"), "1");
}

class BadCheck1 : public Form1Test, public testing::WithParamInterface<const char*> {};

TEST_P(BadCheck1, ReportedAtLine138AndTheBoxStaysClear) {
  h.settings->write("Check1", GetParam());
  form.Form_Load();
  EXPECT_EQ(reportedLines(), std::vector<int>{138});
  EXPECT_EQ(form.Check1->value(), 0);
  EXPECT_FALSE(form.Text3->isEnabled());
  EXPECT_EQ(stored(h, "Check1"), GetParam()) << "the stored text stays until the next click";
  EXPECT_EQ(h.serversCreated, 1) << "the load step goes on with line 140";
}

INSTANTIATE_TEST_SUITE_P(Values, BadCheck1, testing::Values("abc", "7", "-1", "40000", ""),
                         orv::testnames::paramText);

TEST_F(Form1Test, GreyedCheck1DisablesThePattern) {
  h.settings->write("Check1", "2");
  form.Form_Load();
  EXPECT_EQ(form.Check1->value(), 2);
  EXPECT_EQ(stored(h, "Check1"), "2");
  EXPECT_FALSE(form.Text3->isEnabled());
  EXPECT_FALSE(form.Label3->isEnabled());
}

TEST_F(Form1Test, HandCursorWithItsHotSpot) {
  QFile::copy(ORVANDEL_ASSETS "/HAND-M.CUR", h.appFolder() + "/HAND-M.CUR");
  form.Form_Load();
  EXPECT_TRUE(h.boxes.shown.empty());
  ASSERT_TRUE(form.hasCustomPointer());
  moveOver(form.PushButton10);
  EXPECT_EQ(form.mousePointer(), kCustomPointer);
  EXPECT_EQ(form.PushButton10->cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(form.PushButton10->cursor().hotSpot(), QPoint(5, 0));
}

TEST_F(Form1Test, UnloadableCursorIsReportedAt106AndTheLoadGoesOn) {
  h.writeAppFile("HAND-M.CUR", "not a cursor at all");
  form.Form_Load();
  EXPECT_EQ(reportedLines(), std::vector<int>{106});
  EXPECT_EQ(h.boxes.shown[0].caption, "Application Error");
  EXPECT_FALSE(form.hasCustomPointer());
  EXPECT_EQ(form.windowTitle(), "Orvandel");
  EXPECT_EQ(form.Text2->text(), "5");
}

struct Draw {
  double uniform;
  bool opens;
};

class WebSite : public Form1Test, public testing::WithParamInterface<Draw> {};

TEST_P(WebSite, OpensOnlyOnTheDrawOfSeven) {
  h.random.draw = GetParam().uniform;
  form.Form_Load();
  EXPECT_EQ(h.web.opened.size(), GetParam().opens ? 1u : 0u);
  if (GetParam().opens) {
    EXPECT_EQ(h.web.opened[0], "https://www.example.com/orvandel");
  }
  EXPECT_TRUE(h.boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Draws, WebSite,
                         testing::Values(Draw{0.0, false}, Draw{0.059999, false}, Draw{0.06, true},
                                         Draw{0.0699999, true}, Draw{0.07, false},
                                         Draw{0.999999, false}),
                         [](const testing::TestParamInfo<Draw>& info) {
                           return orv::testnames::fromText(
                               "At " + QString::number(info.param.uniform).toStdString());
                         });

TEST_F(Form1Test, WebSiteThatCannotOpenIsReportedAt108) {
  h.random.draw = 0.065;
  h.web.fail = true;
  form.Form_Load();
  EXPECT_EQ(reportedLines(), std::vector<int>{108});
  EXPECT_TRUE(h.boxes.shown[0].text.startsWith("No browser here.\r\n"));
  EXPECT_EQ(form.windowTitle(), "Orvandel") << "the load goes on with line 126";
}

TEST_F(Form1Test, NoEngineShowsOnlyTheGuidanceAndEnds) {
  h.serverFails = true;
  form.Form_Load();
  ASSERT_EQ(h.boxes.shown.size(), 1u);
  EXPECT_TRUE(h.boxes.shown[0].text.startsWith(
      "Error 842001. A normal instance of Excel could not be created.\r\n\r\n1. Please"));
  EXPECT_EQ(h.boxes.shown[0].style, 0);
  EXPECT_EQ(h.boxes.shown[0].caption, "Orvandel");
  EXPECT_EQ(h.endCodes, std::vector<int>{1});
}

TEST_F(Form1Test, ClosingEndsTheProcess) {
  form.Form_Load();
  form.show();
  form.close();
  EXPECT_EQ(h.endCodes, std::vector<int>{0});
}

// ---------------------------------------------------------------- handlers

class Handlers : public Form1Test {
 protected:
  void SetUp() override { form.Form_Load(); }
};

TEST_F(Handlers, EveryKeystrokeOfTheCountIsStored) {
  form.Text2->clear();
  EXPECT_EQ(stored(h, "Text2"), "");
  QTest::keyClick(form.Text2, '1');
  EXPECT_EQ(stored(h, "Text2"), "1");
  QTest::keyClick(form.Text2, '2');
  EXPECT_EQ(stored(h, "Text2"), "12");
  QTest::keyClicks(form.Text2, "ab");
  EXPECT_EQ(stored(h, "Text2"), "12ab") << "stored unchecked";
}

TEST_F(Handlers, PatternStoredWithItsSpaces) {
  form.Text3->setText(" Week [x] ");
  EXPECT_EQ(stored(h, "Text3"), " Week [x] ");
}

TEST_F(Handlers, TickingSwitchesThePatternOnAndOff) {
  form.Check1->click();
  EXPECT_EQ(stored(h, "Check1"), "1");
  EXPECT_TRUE(form.Text3->isEnabled());
  EXPECT_TRUE(form.Label3->isEnabled());
  form.Check1->click();
  EXPECT_EQ(stored(h, "Check1"), "0");
  EXPECT_FALSE(form.Text3->isEnabled());
  EXPECT_FALSE(form.Label3->isEnabled());
  form.Check1->setValue(2);
  EXPECT_EQ(stored(h, "Check1"), "2");
  EXPECT_FALSE(form.Text3->isEnabled());
  form.Check1->click();
  EXPECT_EQ(form.Check1->value(), 1) << "a click ticks a greyed box";
  EXPECT_THROW(form.Check1->setValue(3), std::invalid_argument);
}

TEST_F(Handlers, PathIsStoredAndAMissingFileListsNothing) {
  const int before = h.serversCreated;
  form.Text1->setText(h.tempPath("missing.xlsx"));
  EXPECT_EQ(stored(h, "Text1"), h.tempPath("missing.xlsx"));
  EXPECT_EQ(h.serversCreated, before);
  EXPECT_EQ(form.ListView1->count(), 0);
  EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(Handlers, FailedWriteIsReportedAndTheWindowGoesOn) {
  h.settings = std::make_unique<SettingsStore>(h.tempPath("settings.ini/inside.ini"));
  QFile blocker(h.tempPath("settings.ini"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  Form1 broken(h.services());
  broken.Text2->setText("9");
  EXPECT_EQ(reportedLines("in Quennet2021/08/31.Form1.Text2_Change "), std::vector<int>{100});
  EXPECT_EQ(broken.Text2->text(), "9");
}

class DeleteKey : public Handlers {
 protected:
  void SetUp() override {
    Handlers::SetUp();
    for (const char* name : {"One", "Two", "Three", "Four", "Five"}) form.ListView1->append(name);
  }
  void select(int position) {
    form.ListView1->setCurrentItem(form.ListView1->topLevelItem(position - 1));
  }
  std::vector<QString> items() {
    std::vector<QString> texts;
    for (int i = 1; i <= form.ListView1->count(); ++i) texts.push_back(form.ListView1->textAt(i));
    return texts;
  }
};

TEST_F(DeleteKey, RemovesTheSelectedItem) {
  select(3);
  QTest::keyClick(form.ListView1, Qt::Key_Delete);
  EXPECT_EQ(items(), (std::vector<QString>{"One", "Two", "Four", "Five"}));
  EXPECT_EQ(form.ListView1->selectedPosition(), 3) << "Four moved up and is selected";
  QTest::keyClick(form.ListView1, Qt::Key_Delete, Qt::ShiftModifier);
  EXPECT_EQ(items(), (std::vector<QString>{"One", "Two", "Five"}));
}

TEST_F(DeleteKey, DoesNothingWithoutCause) {
  QTest::keyClick(form.ListView1, Qt::Key_Delete);  // nothing selected
  select(2);
  QTest::keyClick(form.ListView1, Qt::Key_Backspace);
  form.ListView1_KeyDown(65, 0);
  form.setMousePointer(kHourglass);
  QTest::keyClick(form.ListView1, Qt::Key_Delete);
  EXPECT_EQ(items().size(), 5u);
  EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(DeleteKey, EmptyListStaysQuiet) {
  while (form.ListView1->count() > 0) form.ListView1->removeAt(1);
  form.ListView1_KeyDown(46, 0);
  EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(Handlers, HoverTurnsTheWindowsPointer) {
  moveOver(form.PushButton3);  // inside Frame1, which must not win
  EXPECT_EQ(form.mousePointer(), kCustomPointer);
  EXPECT_EQ(form.Text1->cursor().shape(), Qt::ArrowCursor) << "no hand file: the plain arrow";
  moveOver(form.ProgressBar1);
  EXPECT_EQ(form.mousePointer(), kCustomPointer) << "the progress bar has no hover handler";
  moveOver(form.Text1);
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
  EXPECT_EQ(form.Text1->cursor().shape(), Qt::IBeamCursor) << "each control's own pointer";
  moveOver(form.PushButton2);
  moveOver(form.ListView1->viewport());
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
  moveOver(form.PushButton11);
  moveOver(&form, QPointF(3, 3));  // the window's own background
  EXPECT_EQ(form.mousePointer(), kDefaultPointer);
}

TEST_F(Handlers, HourglassIsLeftAlone) {
  form.setMousePointer(kHourglass);
  moveOver(form.PushButton2);
  moveOver(form.Label1);
  EXPECT_EQ(form.mousePointer(), kHourglass);
  EXPECT_EQ(form.PushButton2->cursor().shape(), Qt::WaitCursor);
  EXPECT_EQ(form.Text2->cursor().shape(), Qt::WaitCursor);
  form.setMousePointer(kDefaultPointer);
  EXPECT_EQ(form.Text2->cursor().shape(), Qt::IBeamCursor);
}

TEST_F(Handlers, ProgressBarKeepsItsExactValue) {
  form.ProgressBar1->setExactValue(100.0 / 3.0);
  EXPECT_DOUBLE_EQ(form.ProgressBar1->exactValue(), 100.0 / 3.0);
  EXPECT_EQ(form.ProgressBar1->value(), 33);
  EXPECT_EQ(form.ProgressBar1->text(), "Progress Bar");
  EXPECT_THROW(form.ProgressBar1->setExactValue(100.5), std::out_of_range);
}

}  // namespace
}  // namespace orv::test
