// The splash window: when it shows, which picture, its layout, its pause and
// its check box.
#include "ui/splash/splash.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QLabel>

#include "app/file_helpers.h"
#include "harness.h"
#include "tests/test_names.h"
#include "ui/main/check_box.h"

namespace orv::test {
namespace {

class SplashTest : public testing::Test {
 protected:
  SplashTest() : splash(h.services()) { h.clock.step = 0.1; }

  QString addPicture(const QString& name, QSize size) {
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    const QString path = h.appFolder() + "/Splash/" + name;
    QDir().mkpath(h.appFolder() + "/Splash");
    EXPECT_TRUE(picture.save(path, "PNG"));
    return path;
  }

  Harness h;
  Splash splash;
};

TEST(SplashLayout, FourThousandByThreeThousandTwips) {
  const SplashLayout l = splashLayout(4000, 3000);
  EXPECT_EQ(l.width, 4000);
  EXPECT_EQ(l.height, 3300);
  EXPECT_EQ(l.checkTop, 2905);
  EXPECT_EQ(l.line3X, 3990);
  EXPECT_EQ(l.line4Y, 3290);
}

TEST_F(SplashTest, ShowsThePictureForFourSecondsThenHides) {
  addPicture("a.png", QSize(400, 300));
  h.clock.step = 0.125;
  const int before = h.clock.readings;
  splash.SplashShow();
  EXPECT_FALSE(splash.isVisible());
  EXPECT_EQ(splash.windowTitle(), "Orvandel");
  EXPECT_EQ(splash.size(), QSize(400, 320));
  EXPECT_EQ(splash.Image1->pixmap().size(), QSize(400, 300));
  EXPECT_EQ(splash.Check1->geometry(), QRect(8, 294, 281, 25));
  EXPECT_EQ(splash.Line3->geometry(), QRect(399, 0, 1, 320));
  EXPECT_EQ(splash.Line4->geometry(), QRect(0, 319, 400, 1));
  // 4 s at 0.125 s a reading (0.4 s in a development build).
  const int expected = InDevelopmentEnvironment() ? 4 : 32;
  EXPECT_EQ(h.clock.readings - before, expected + 1);
}

TEST_F(SplashTest, SwitchedOffOrWithoutPictureShowsNothing) {
  splash.SplashShow();  // no Splash folder
  QDir().mkpath(h.appFolder() + "/Splash/folder-only");
  splash.SplashShow();  // no file in it
  EXPECT_EQ(h.clock.readings, 0);
  addPicture("a.png", QSize(10, 10));
  h.settings->write("ShowAgain", "1");
  splash.SplashShow();
  EXPECT_EQ(h.clock.readings, 0);
  EXPECT_TRUE(splash.Image1->pixmap().isNull());
}

// Any stored number other than zero hides the splash; zero, nothing stored or
// a text that is no number shows it.
struct ShowAgainCase {
  const char* stored;
  bool shows;
};

class ShowAgainTest : public SplashTest, public testing::WithParamInterface<ShowAgainCase> {};

TEST_P(ShowAgainTest, DecidesWhetherTheSplashShows) {
  addPicture("a.png", QSize(10, 10));
  h.settings->write("ShowAgain", GetParam().stored);
  splash.SplashShow();
  EXPECT_EQ(h.clock.readings > 0, GetParam().shows) << GetParam().stored;
}

INSTANTIATE_TEST_SUITE_P(Stored, ShowAgainTest,
                         testing::Values(ShowAgainCase{"0", true}, ShowAgainCase{" 0.0 ", true},
                                         ShowAgainCase{"off", true}, ShowAgainCase{"0.01", false},
                                         ShowAgainCase{"-1", false}, ShowAgainCase{"40000", false}),

                         orv::testnames::byText(&ShowAgainCase::stored));

TEST_F(SplashTest, FirstListedFileEveryTime) {
  addPicture("one.png", QSize(50, 40));
  addPicture("two.png", QSize(60, 40));
  const QString first = QDir(h.appFolder() + "/Splash").entryList(QDir::Files, QDir::Unsorted)[0];
  const int width = first == "one.png" ? 50 : 60;
  for (int i = 0; i < 2; ++i) {
    splash.SplashShow();
    EXPECT_EQ(splash.width(), width);
  }
}

TEST_F(SplashTest, UnreadablePictureThrowsAndStaysHidden) {
  QDir().mkpath(h.appFolder() + "/Splash");
  h.writeAppFile("Splash/broken.png", "no png here");
  EXPECT_THROW(splash.SplashShow(), std::runtime_error);
  EXPECT_FALSE(splash.isVisible());
  EXPECT_EQ(h.clock.readings, 0);
}

TEST_F(SplashTest, CheckBoxStoresEveryClick) {
  splash.Check1->click();
  EXPECT_EQ(stored(h, "ShowAgain"), "1");
  splash.Check1->click();
  EXPECT_EQ(stored(h, "ShowAgain"), "0");
}

TEST_F(SplashTest, PauseRunsAcrossMidnight) {
  h.clock.now = 86399.0;
  h.clock.step = 0.25;
  splash.pause(2.0);
  // Readings at 86399.0 ... 86400 (=0.0) ... 1.0: the first reading, then 8 steps.
  EXPECT_EQ(h.clock.readings, 1 + 8);
  EXPECT_DOUBLE_EQ(h.clock.now, 1.25);
}

}  // namespace
}  // namespace orv::test
