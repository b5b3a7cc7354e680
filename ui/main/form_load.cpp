// The main window's load and unload steps.
#include <QIcon>
#include <QLineEdit>

#include "app/file_helpers.h"
#include "app/hand_cursor.h"
#include "app/settings_store.h"
#include "app/theme.h"
#include "automation/app_title.h"
#include "automation/copy_count.h"
#include "automation/server_routines.h"
#include "automation/trap.h"
#include "ui/main/check_box.h"
#include "ui/main/form1.h"
#include "ui/main/sheet_list.h"
#include "ui/main/twips.h"

namespace orv {

// The maker's web site, opened on about one start in a hundred.
const char kWebSite[] = "https://www.example.com/orvandel";

namespace {

// The draw that opens the web site.
constexpr int kWebSiteDraw = 7;

// The width of the list's one column.
constexpr int kSheetColumnTwips = 6500;

}  // namespace

void Form1::Form_Load() {
  runTrapped(tag("Form_Load"),
             bindSteps<Form1>(*this,
                              {
                                  {100, &Form1::loadTheme},
                                  {104, &Form1::checkHandCursor},
                                  {106, &Form1::loadHandCursor},
                                  {108, &Form1::drawForWebSite},
                                  {126, &Form1::setCaption},
                                  {126, &Form1::setIcon},
                                  {126, &Form1::setAppTitle},
                                  {128, &Form1::addSheetColumn},
                                  {130, &Form1::sizeSheetColumn},
                                  {132, &Form1::clearWorkbookPath},
                                  {134, &Form1::restoreCount},
                                  {136, &Form1::restorePattern},
                                  {138, &Form1::restoreRenameChoice},
                                  {140, &Form1::checkEngine},
                              }),
             report_);
}

QString Form1::handCursorPath() const { return services_.applicationFolder() + "/HAND-M.CUR"; }

int Form1::loadTheme() {
  ApplyTheme(*this, controls(), services_.applicationFolder());
  return kNext;
}

int Form1::checkHandCursor() { return FileExists(handCursorPath()) ? kNext : 108; }

int Form1::loadHandCursor() {
  setCustomPointer(loadCursorFile(handCursorPath()));
  return kNext;
}

int Form1::drawForWebSite() {
  services_.random.seed(services_.clock.secondsSinceMidnight());
  const int drawn = static_cast<int>(services_.random.next() * 100) + 1;
  if (drawn == kWebSiteDraw) services_.web.open(QString::fromLatin1(kWebSite));
  return kNext;
}

int Form1::setCaption() {
  setWindowTitle(QString::fromLatin1(kProductTitle));
  return kNext;
}

int Form1::setIcon() {
  const QIcon icon(QStringLiteral(":/orvandel/orvandel.png"));
  if (icon.isNull()) throw std::runtime_error("The program's icon is missing from the build.");
  setWindowIcon(icon);
  return kNext;
}

int Form1::setAppTitle() {
  SetAppTitle();
  return kNext;
}

int Form1::addSheetColumn() {
  ListView1->addColumn(QStringLiteral("Sheets"));
  return kNext;
}

int Form1::sizeSheetColumn() {
  ListView1->setColumnWidthPixels(1, twipsToPixels(kSheetColumnTwips));
  return kNext;
}

int Form1::clearWorkbookPath() {
  Text1->setText(QString());
  return kNext;
}

int Form1::restoreCount() {
  Text2->setText(services_.settings.read(Setting::Text2));
  return kNext;
}

int Form1::restorePattern() {
  Text3->setText(services_.settings.read(Setting::Text3));
  return kNext;
}

int Form1::restoreRenameChoice() {
  const QString text = services_.settings.read(Setting::Check1);
  std::int16_t value = 0;
  try {
    value = toInt16Count(text.toStdString());
  } catch (const std::exception&) {
    // The reader speaks of copies; this is the stored rename choice.
    throw std::runtime_error("The stored setting Check1 (\"" + text.toStdString() +
                             "\") is not a whole number between -32768 and 32767.");
  }
  Check1->setValue(value);
  return kNext;
}

int Form1::checkEngine() {
  CheckExcelInstalled(services_.createServer, services_.boxes, services_.endProcess);
  return kNext;
}

void Form1::Form_Unload() { services_.endProcess(0); }

}  // namespace orv
