// The visual theme: the skin file's presence test, the face colour and the
// skin itself, through the load step.
#include "app/theme.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "harness.h"
#include "ui/main/check_box.h"
#include "ui/main/form1.h"
#include "ui/main/sheet_list.h"

namespace orv::test {
namespace {

class Theme : public testing::Test {
 protected:
  Theme() : form(h.services()) {}

  QColor back(QWidget* w) { return w->palette().color(w->backgroundRole()); }
  std::vector<QWidget*> plain() {
    return {&form, form.Check1, form.Frame1, form.Frame2, form.Label1, form.Label3};
  }

  Harness h;
  Form1 form;
};

TEST_F(Theme, AbsentSkinChangesNothing) {
  // No "x" folder; then an "x" folder without the file; then a folder named o.cjs.
  for (int round = 0; round < 3; ++round) {
    if (round == 1) QDir().mkpath(h.appFolder() + "/x");
    if (round == 2) QDir().mkpath(h.appFolder() + "/x/o.cjs");
    ApplyTheme(form, form.controls(), h.appFolder());
    for (QWidget* w : plain()) EXPECT_EQ(back(w), QColor(Qt::white)) << round;
    EXPECT_TRUE(form.styleSheet().isEmpty());
  }
}

TEST_F(Theme, FramesAreWhiteInsideAroundTheirWhiteControls) {
  form.Form_Load();
  const QImage window = form.grab().toImage();
  const auto at = [&](QWidget* w, QPoint p) { return window.pixelColor(w->mapTo(&form, p)); };
  // Free frame ground beside the check box and between the buttons and the
  // list, and the check box's own ground after its caption.
  EXPECT_EQ(at(form.Frame2, QPoint(300, 80)), QColor(Qt::white));
  EXPECT_EQ(at(form.Frame1, QPoint(100, 80)), QColor(Qt::white));
  EXPECT_EQ(at(form.Check1, QPoint(240, 8)), QColor(Qt::white));
  EXPECT_EQ(at(form.Label1, QPoint(245, 8)), QColor(Qt::white));
  // The border is still drawn: somewhere down the frame's left edge is not white.
  bool border = false;
  for (int x = 0; x < 4; ++x) border = border || at(form.Frame2, QPoint(x, 100)) != Qt::white;
  EXPECT_TRUE(border);
}

TEST_F(Theme, NameMustMatchExactly) {
  h.writeAppFile("x/O.CJS", "QWidget { color: red; }");
  ApplyTheme(form, form.controls(), h.appFolder());
  EXPECT_EQ(back(form.Label1), QColor(Qt::white));
}

TEST_F(Theme, SkinGivesThePlainControlsTheFaceColour) {
  h.writeAppFile("x/o.cjs", "/* Orvandel skin */ QLineEdit { border: 1px solid #2a7; }");
  const QColor textBase = form.Text1->palette().color(QPalette::Base);
  const QColor listBase = form.ListView1->palette().color(QPalette::Base);
  form.Form_Load();
  EXPECT_TRUE(h.boxes.shown.empty());
  for (QWidget* w : plain()) EXPECT_EQ(back(w), faceColour()) << w->objectName().toStdString();
  EXPECT_EQ(form.Text1->palette().color(QPalette::Base), textBase);
  EXPECT_EQ(form.ListView1->palette().color(QPalette::Base), listBase);
  EXPECT_EQ(form.PushButton2->palette().color(QPalette::Button), QColor(Qt::white));
  EXPECT_EQ(form.styleSheet(), "/* Orvandel skin */ QLineEdit { border: 1px solid #2a7; }");
}

TEST_F(Theme, SkinThatIsNotUtf8IsReportedAtLine100AfterTheColours) {
  h.writeAppFile("x/o.cjs", QByteArray("QWidget { color: \xff\xfe red; }"));
  form.Form_Load();
  ASSERT_EQ(h.boxes.shown.size(), 1u);
  const QString text = h.boxes.shown[0].text;
  EXPECT_TRUE(text.contains("is not UTF-8 text")) << text.toStdString();
  EXPECT_TRUE(text.contains("\r\nin Quennet2021/08/31.Form1.Form_Load at line 100\r\r"));
  for (QWidget* w : plain()) EXPECT_EQ(back(w), faceColour());
  EXPECT_TRUE(form.styleSheet().isEmpty());
  EXPECT_EQ(form.windowTitle(), "Orvandel") << "the load goes on";
}

TEST(ReadSkin, ByteOrderMarkIsNoPartOfTheText) {
  Harness h;
  const QString path = h.writeAppFile("x/o.cjs", QByteArray("\xef\xbb\xbfQLabel { color: red; }"));
  EXPECT_EQ(readSkin(path), "QLabel { color: red; }");
  EXPECT_THROW(readSkin(h.appFolder() + "/x/none.cjs"), std::runtime_error);
}

}  // namespace
}  // namespace orv::test
