#pragma once

#include <QCursor>
#include <QHash>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/error_report.h"
#include "app/services.h"
#include "app/settings_store.h"
#include "automation/duplication_run.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace orv {

class CheckBox;
class ProgressBar;
class SheetList;

// The main window. The constructor only assembles the window with its design
// contents; Form_Load (form_load.cpp) prepares it before it is shown. The
// duplication run reads and writes the window through its DuplicationView.
class Form1 : public QWidget, private DuplicationView {
  Q_OBJECT

 public:
  explicit Form1(const Services& services, QWidget* parent = nullptr);
  ~Form1() override;

  // Load and unload (form_load.cpp).
  void Form_Load();
  void Form_Unload();

  // Button handlers: workbook selection and the duplication run.
  void PushButton2_Click();
  void PushButton3_Click();
  void PushButton10_Click();
  void PushButton11_Click();

  // Input handlers. They run synchronously whenever the control changes,
  // by the user or by code.
  void Text1_Change();
  void Text2_Change();
  void Text3_Change();
  void Check1_Click();
  void ListView1_KeyDown(int keyCode, int shift);

  // The window-wide pointer shape: kDefaultPointer, kHourglass or kCustomPointer.
  int mousePointer() const { return mousePointer_; }
  void setMousePointer(int shape);
  // The picture shown for kCustomPointer; none until the load step finds one.
  void setCustomPointer(const QCursor& cursor);
  bool hasCustomPointer() const { return customPointer_.has_value(); }

  // Every control in the window's own order (frames before their children).
  std::vector<QWidget*> controls() const;

  const Services& services() const { return services_; }
  ErrorReport& errorReport() { return report_; }

  // The controls, by their design names.
  QGroupBox* Frame1;
  QGroupBox* Frame2;
  QLineEdit* Text1;
  QLineEdit* Text2;
  QLineEdit* Text3;
  QLabel* Label1;
  QLabel* Label3;
  CheckBox* Check1;
  SheetList* ListView1;
  QPushButton* PushButton2;
  QPushButton* PushButton3;
  QPushButton* PushButton10;
  QPushButton* PushButton11;
  ProgressBar* ProgressBar1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // DuplicationView over the controls.
  std::string workbookPath() override;
  std::string copyCountText() override;
  std::string namingPattern() override;
  int renameValue() override;
  std::vector<std::string> sheetItems() override;
  std::string selectedSheet() override;
  void appendSheet(const std::string& name) override;
  void setProgressValue(double value) override;
  void setProgressText(const std::string& text) override;
  void setPointer(int shape) override;
  void messageBox(const std::string& text, int style, const std::string& caption) override;

  // The load step's rows (form_load.cpp).
  int loadTheme();
  int checkHandCursor();
  int loadHandCursor();
  int drawForWebSite();
  int setCaption();
  int setIcon();
  int setAppTitle();
  int addSheetColumn();
  int sizeSheetColumn();
  int clearWorkbookPath();
  int restoreCount();
  int restorePattern();
  int restoreRenameChoice();
  int checkEngine();
  QString handCursorPath() const;

  void buildControls();
  void setTabOrder();
  void watchHover(QWidget* widget, int shape);
  // The mouse-move handlers: every control but the progress bar has one.
  void hover(int shape);
  std::string tag(const char* handler) const;
  // The change handlers of the count and pattern boxes: store the whole text under `key`.
  void storeBoxText(const char* handler, Setting key, const QLineEdit* box);

  Services services_;
  ErrorReport report_;
  int mousePointer_ = kDefaultPointer;
  std::optional<QCursor> customPointer_;
  // Hover shape per watched widget; -1 marks a control without hover handler.
  QHash<QWidget*, int> hoverShape_;
  // Each watched widget's own pointer, put back for the default shape.
  QHash<QWidget*, std::optional<QCursor>> ownCursor_;
  // The folder of the workbook last chosen in the dialog, for its next showing;
  // kept for this run of the tool only.
  QString lastDialogFolder_;
  std::unique_ptr<DuplicationRun> run_;
};

}  // namespace orv
