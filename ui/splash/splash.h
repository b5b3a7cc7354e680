#pragma once

#include <QWidget>

#include "app/error_report.h"
#include "app/services.h"

class QLabel;

namespace orv {

class CheckBox;

// Where SplashShow puts things, in twips, for a picture of the given size.
struct SplashLayout {
  int width = 0;     // the window's outer width: the picture's width
  int height = 0;    // the picture's height plus a 300-twip strip for the check box
  int checkTop = 0;  // Check1, 20 twips above the bottom edge
  int line3X = 0;    // the right edge line, 10 twips inside
  int line4Y = 0;    // the bottom edge line, 10 twips inside
};
SplashLayout splashLayout(int pictureWidthTwips, int pictureHeightTwips);

// The splash window: a borderless picture from the Splash folder with a
// "Hide this at next startup" check box.
class Splash : public QWidget {
  Q_OBJECT

 public:
  explicit Splash(const Services& services, QWidget* parent = nullptr);

  // Shows the first picture of the Splash folder for 4 seconds (0.4 in a
  // development build), keeping events flowing, unless the user switched the
  // splash off or there is no picture. Throws std::runtime_error when the
  // picture cannot be read; the window then stays hidden.
  void SplashShow();
  void Check1_Click();
  // Returns once `seconds` have passed on the clock, processing events.
  void pause(double seconds);

  const SplashLayout& layout() const { return layout_; }

  QLabel* Image1;
  CheckBox* Check1;
  QWidget* Line1;
  QWidget* Line2;
  QWidget* Line3;
  QWidget* Line4;

 private:
  Services services_;
  ErrorReport report_;
  SplashLayout layout_;
};

}  // namespace orv
