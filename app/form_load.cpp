// The main window's load and unload steps.
#include <QIcon>
#include <QLineEdit>

#include "app/app_title.h"
#include "app/file_helpers.h"
#include "app/hand_cursor.h"
#include "app/settings_store.h"
#include "app/theme.h"
#include "app/trap.h"
#include "automation/copy_count.h"
#include "automation/server_routines.h"
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

}  // namespace

void Form1::Form_Load() {
  SettingsStore& settings = services_.settings;
  const auto handCursorPath = [&] { return services_.applicationFolder() + "/HAND-M.CUR"; };
  const std::vector<Step> steps = {
      {100,
       [&] {
         ApplyTheme(*this, controls(), services_.applicationFolder());
         return kNext;
       }},
      {104, [&] { return FileExists(handCursorPath()) ? kNext : 108; }},
      {106,
       [&] {
         setCustomPointer(loadCursorFile(handCursorPath()));
         return kNext;
       }},
      {108,
       [&] {
         services_.random.seed(services_.clock.secondsSinceMidnight());
         const int drawn = static_cast<int>(services_.random.next() * 100) + 1;
         if (drawn == kWebSiteDraw) services_.web.open(QString::fromLatin1(kWebSite));
         return kNext;
       }},
      {126,
       [&] {
         setWindowTitle(QString::fromLatin1(kProductTitle));
         return kNext;
       }},
      {126,
       [&] {
         const QIcon icon(QStringLiteral(":/orvandel/orvandel.png"));
         if (icon.isNull())
           throw std::runtime_error("The program's icon is missing from the build.");
         setWindowIcon(icon);
         return kNext;
       }},
      {126,
       [&] {
         SetAppTitle();
         return kNext;
       }},
      {128,
       [&] {
         ListView1->addColumn(QStringLiteral("Sheets"));
         return kNext;
       }},
      {130,
       [&] {
         ListView1->setColumnWidthPixels(1, twipsToPixels(6500));
         return kNext;
       }},
      {132,
       [&] {
         Text1->setText(QString());
         return kNext;
       }},
      {134,
       [&] {
         Text2->setText(settings.read(Setting::Text2));
         return kNext;
       }},
      {136,
       [&] {
         Text3->setText(settings.read(Setting::Text3));
         return kNext;
       }},
      {138,
       [&] {
         const QString text = settings.read(Setting::Check1);
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
       }},
      {140,
       [&] {
         CheckExcelInstalled(services_.createServer, services_.boxes, services_.endProcess);
         return kNext;
       }},
  };
  runTrapped(tag("Form_Load"), steps, report_);
}

void Form1::Form_Unload() { services_.endProcess(0); }

}  // namespace orv
