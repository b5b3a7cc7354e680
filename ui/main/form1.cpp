#include "ui/main/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <stdexcept>

#include "app/file_helpers.h"
#include "app/settings_store.h"
#include "app/theme.h"
#include "automation/app_title.h"
#include "automation/server_routines.h"
#include "automation/trap.h"
#include "automation/workbook_listing.h"
#include "ui/main/check_box.h"
#include "ui/main/frame_box.h"
#include "ui/main/progress_bar.h"
#include "ui/main/sheet_list.h"
#include "ui/main/twips.h"

namespace orv {

namespace {

constexpr int kDeleteKey = 46;

// Swallows the user's clicks and keys while it exists. The run holds the
// user-interface thread, so input made meanwhile waits in the window system's
// queue; it is drained through this filter after the run so that a click made
// during the run does not start a second one once the run is over.
class InputSwallower : public QObject {
 public:
  InputSwallower() { QCoreApplication::instance()->installEventFilter(this); }
  ~InputSwallower() override { QCoreApplication::instance()->removeEventFilter(this); }
  InputSwallower(const InputSwallower&) = delete;
  InputSwallower& operator=(const InputSwallower&) = delete;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Wheel:
        return true;
      default:
        return false;
    }
  }
};

// The open-file dialog's settings.
constexpr unsigned kOpenFlags = 0x280001;
const char kDialogTitle[] = "Select Excel File";
const char kDialogFilter[] = "Excel Files (*.xl*)|*.xl*|All Files (*.*)|*.*";
constexpr int kNoHoverHandler = -1;

void place(QWidget* control, int left, int top, int width, int height) {
  control->setGeometry(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                       twipsToPixels(height));
}

QFont windowFont() { return QFont(QStringLiteral("Arial"), 9, QFont::Bold); }

QFont buttonFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(11.25);
  font.setBold(true);
  return font;
}

QPushButton* pushButton(const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setFont(buttonFont());
  QPalette palette = button->palette();
  palette.setColor(QPalette::Button, Qt::white);
  button->setPalette(palette);
  return button;
}

}  // namespace

Form1::Form1(const Services& services, QWidget* parent)
    : QWidget(parent), services_(services), report_(services.boxes) {
  setObjectName(QStringLiteral("Form1"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QStringLiteral("Form1"));
  QPixmap empty(32, 32);
  empty.fill(Qt::transparent);
  setWindowIcon(QIcon(empty));
  setFont(windowFont());
  setBackColour(*this, Qt::white);
  setFixedSize(twipsToPixels(8040), twipsToPixels(6255));

  buildControls();
  setTabOrder();

  if (const QScreen* screen = this->screen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
  connect(Text2, &QLineEdit::textChanged, this, [this] { Text2_Change(); });
  connect(Text3, &QLineEdit::textChanged, this, [this] { Text3_Change(); });
  connect(Check1, &CheckBox::valueChanged, this, [this] { Check1_Click(); });
  connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
  connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
  connect(PushButton10, &QPushButton::clicked, this, [this] { PushButton10_Click(); });
  connect(PushButton11, &QPushButton::clicked, this, [this] { PushButton11_Click(); });

  DuplicationServices runServices;
  runServices.fileExists = [](const std::string& path) {
    return FileExists(QString::fromStdString(path));
  };
  runServices.warnIfExcelOpen = [this] {
    return WarnIfExcelOpen(services_.processes, services_.boxes);
  };
  runServices.openWorkbook = [this](const std::string& path) {
    return OpenWorkbook(services_.createServer, path);
  };
  runServices.appTitle = [] { return applicationTitle(); };
  run_ = std::make_unique<DuplicationRun>(static_cast<DuplicationView&>(*this),
                                          std::move(runServices));
}

Form1::~Form1() = default;

void Form1::buildControls() {
  Frame2 = new FrameBox(QStringLiteral("Copy Options"), this);
  place(Frame2, 120, 2910, 7800, 2175);
  Check1 = new CheckBox(QStringLiteral("Name sheets after copying:"), Frame2);
  place(Check1, 240, 1100, 3735, 255);
  Text3 = new QLineEdit(QStringLiteral("Text3"), Frame2);
  place(Text3, 240, 1400, 7335, 345);
  Text3->setEnabled(false);
  Text2 = new QLineEdit(QStringLiteral("Text2"), Frame2);
  place(Text2, 240, 600, 7335, 345);
  Label3 = new QLabel(QStringLiteral(" where [x] will be replaced with 1, 2, 3, etc."), Frame2);
  place(Label3, 240, 1800, 3600, 255);
  Label3->setEnabled(false);
  Label1 = new QLabel(QStringLiteral("How many copies would you like to make?"), Frame2);
  place(Label1, 240, 300, 3735, 255);

  Frame1 = new FrameBox(QStringLiteral("Select Excel File and Sheet"), this);
  place(Frame1, 120, 120, 7800, 2715);
  Text1 = new QLineEdit(QStringLiteral("Text1"), Frame1);
  place(Text1, 240, 300, 6495, 345);
  ListView1 = new SheetList(Frame1);
  place(ListView1, 240, 1260, 7335, 1290);
  ListView1->setToolTip(
      QStringLiteral("Move | line to right and out of window to reveal full names."));
  PushButton3 = pushButton(QStringLiteral("..."), Frame1);
  place(PushButton3, 6820, 300, 720, 345);
  PushButton10 = pushButton(QStringLiteral("Load Sample/Example File"), Frame1);
  place(PushButton10, 240, 750, 3600, 405);
  PushButton11 = pushButton(QStringLiteral("Clear File"), Frame1);
  place(PushButton11, 3960, 750, 3600, 405);

  PushButton2 = pushButton(QStringLiteral("Start Copying Sheets"), this);
  place(PushButton2, 120, 5210, 7800, 405);
  ProgressBar1 = new ProgressBar(this);
  place(ProgressBar1, 120, 5730, 7800, 405);
  ProgressBar1->setText(QStringLiteral("Progress Bar"));
  QPalette barPalette = ProgressBar1->palette();
  barPalette.setColor(QPalette::Base, Qt::white);
  barPalette.setColor(QPalette::Window, Qt::white);
  barPalette.setColor(QPalette::Button, Qt::white);
  ProgressBar1->setPalette(barPalette);

  for (QWidget* plain : std::initializer_list<QWidget*>{Frame1, Frame2, Label1, Label3, Check1}) {
    setBackColour(*plain, Qt::white);
  }

  const std::pair<QWidget*, const char*> names[] = {{Frame1, "Frame1"},
                                                    {Frame2, "Frame2"},
                                                    {Text1, "Text1"},
                                                    {Text2, "Text2"},
                                                    {Text3, "Text3"},
                                                    {Label1, "Label1"},
                                                    {Label3, "Label3"},
                                                    {Check1, "Check1"},
                                                    {ListView1, "ListView1"},
                                                    {PushButton2, "PushButton2"},
                                                    {PushButton3, "PushButton3"},
                                                    {PushButton10, "PushButton10"},
                                                    {PushButton11, "PushButton11"},
                                                    {ProgressBar1, "ProgressBar1"}};
  for (const auto& [control, name] : names) control->setObjectName(QString::fromLatin1(name));

  ListView1->installEventFilter(this);
  watchHover(this, kDefaultPointer);
  for (QWidget* control : std::initializer_list<QWidget*>{
           Frame1, Frame2, Label1, Label3, Check1, Text1, Text2, Text3, ListView1,
           ListView1->viewport(), ListView1->header(), ListView1->header()->viewport()}) {
    watchHover(control, kDefaultPointer);
  }
  for (QWidget* button :
       std::initializer_list<QWidget*>{PushButton2, PushButton3, PushButton10, PushButton11}) {
    watchHover(button, kCustomPointer);
  }
  watchHover(ProgressBar1, kNoHoverHandler);
}

void Form1::setTabOrder() {
  // Frames and labels take no focus; Qt passes over them and a disabled Text3.
  const QWidget* const order[] = {Text1,        ListView1,   Text2,       Text3,
                                  Check1,       PushButton3, PushButton2, ProgressBar1,
                                  PushButton10, PushButton11};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
  }
}

std::vector<QWidget*> Form1::controls() const {
  return {Frame2, Check1,    Text3,       Text2,        Label3,       Label1,      Frame1,
          Text1,  ListView1, PushButton3, PushButton10, PushButton11, PushButton2, ProgressBar1};
}

void Form1::watchHover(QWidget* widget, int shape) {
  hoverShape_.insert(widget, shape);
  ownCursor_.insert(widget, widget->testAttribute(Qt::WA_SetCursor)
                                ? std::optional<QCursor>(widget->cursor())
                                : std::nullopt);
  widget->setMouseTracking(true);
  widget->installEventFilter(this);
}

std::string Form1::tag(const char* handler) const {
  return locationTag(QStringLiteral("Form1"), QString::fromLatin1(handler)).toStdString();
}

// ---------------------------------------------------------------- pointer

void Form1::setCustomPointer(const QCursor& cursor) { customPointer_ = cursor; }

void Form1::setMousePointer(int shape) {
  mousePointer_ = shape;
  for (auto it = ownCursor_.cbegin(); it != ownCursor_.cend(); ++it) {
    QWidget* widget = it.key();
    if (shape == kHourglass) {
      widget->setCursor(Qt::WaitCursor);
    } else if (shape == kCustomPointer) {
      // Without a hand picture the custom shape shows the plain arrow.
      widget->setCursor(customPointer_.value_or(QCursor(Qt::ArrowCursor)));
    } else if (it.value()) {
      widget->setCursor(*it.value());
    } else {
      widget->unsetCursor();
    }
  }
}

void Form1::hover(int shape) {
  if (mousePointer_ == kHourglass) return;
  setMousePointer(shape);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget && event->type() == QEvent::MouseMove) {
    // A move that a child passes on to its parent belongs to the child alone.
    const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
    for (QWidget* hit = widget->childAt(at); hit && hit != widget; hit = hit->parentWidget()) {
      if (hoverShape_.contains(hit)) return false;
    }
    const int shape = hoverShape_.value(widget, kNoHoverHandler);
    if (shape != kNoHoverHandler) hover(shape);
  } else if (watched == ListView1 && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    ListView1_KeyDown(key->key() == Qt::Key_Delete ? kDeleteKey : key->key() & 0xFFFF,
                      static_cast<int>(key->modifiers() >> 25));
  }
  // The list still sees its keys, the controls their moves.
  return false;
}

void Form1::closeEvent(QCloseEvent* event) {
  Form_Unload();
  event->accept();
}

// ---------------------------------------------------------------- handlers

void Form1::PushButton2_Click() {
  runTrapped(tag("PushButton2_Click"), run_->steps(), report_);
  InputSwallower swallower;
  QCoreApplication::processEvents();
}

void Form1::PushButton3_Click() {
  FileDialog& dialog = services_.fileDialog;
  const std::vector<Step> steps = {
      {100, [&] { return WarnIfExcelOpen(services_.processes, services_.boxes) ? kReturn : kNext; },
       102},
      {102,
       [&] {
         dialog.fileName.clear();
         return kNext;
       },
       104},
      {104,
       [&] {
         dialog.flags = kOpenFlags;
         return kNext;
       },
       106},
      {106,
       [&] {
         dialog.title = QString::fromLatin1(kDialogTitle);
         return kNext;
       },
       108},
      {108,
       [&] {
         dialog.filter = QString::fromLatin1(kDialogFilter);
         return kNext;
       },
       110},
      {110,
       [&] {
         dialog.folder = lastDialogFolder_;
         dialog.showOpen();
         return kNext;
       },
       112},
      {112, [&] { return dialog.fileName.isEmpty() ? kReturn : kNext; }, 114},
      {114,
       [&] {
         const QString chosen = dialog.fileName;
         lastDialogFolder_ = QFileInfo(chosen).absolutePath();
         Text1->setText(chosen);
         return kReturn;
       },
       kReturn},
  };
  runTrapped(tag("PushButton3_Click"), steps, report_);
}

void Form1::PushButton10_Click() {
  runTrapped(
      tag("PushButton10_Click"),
      {{100,
        [&] {
          Text1->setText(services_.applicationFolder() + QStringLiteral("/Samples/sample1.xls"));
          return kNext;
        },
        kReturn}},
      report_);
}

void Form1::PushButton11_Click() {
  runTrapped(tag("PushButton11_Click"),
             {{100,
               [&] {
                 Text1->setText(QString());
                 return kNext;
               },
               kReturn}},
             report_);
}

void Form1::Text1_Change() {
  const QString path = Text1->text();
  const int itemsBefore = ListView1->count();
  const bool selectedBefore = ListView1->selectedPosition() != 0;
  const std::vector<Step> steps = {
      {100,
       [&] {
         services_.settings.write(Setting::Text1, path);
         return kNext;
       }},
      {102, [&] { return FileExists(path) ? kNext : kReturn; }},
      // The listing quits its instance on every way out; names appended before
      // a failure stay in the list.
      {104,
       [&] {
         appendWorksheetNames(
             path.toStdString(),
             [&](const std::string& p) { return OpenWorkbook(services_.createServer, p); },
             [&](const std::string& name) { ListView1->append(QString::fromStdString(name)); });
         return kNext;
       }},
  };
  runUntrapped(tag("Text1_Change"), steps, report_);
  // Start works at once on a freshly listed workbook; a choice the user has
  // already made is kept.
  if (!selectedBefore && ListView1->count() > itemsBefore) {
    ListView1->setCurrentItem(ListView1->topLevelItem(itemsBefore));
  }
}

void Form1::storeBoxText(const char* handler, Setting key, const QLineEdit* box) {
  runUntrapped(tag(handler),
               {{100,
                 [&] {
                   services_.settings.write(key, box->text());
                   return kNext;
                 }}},
               report_);
}

void Form1::Text2_Change() { storeBoxText("Text2_Change", Setting::Text2, Text2); }

void Form1::Text3_Change() { storeBoxText("Text3_Change", Setting::Text3, Text3); }

void Form1::Check1_Click() {
  runUntrapped(tag("Check1_Click"),
               {{100,
                 [&] {
                   services_.settings.write(Setting::Check1, QString::number(Check1->value()));
                   return kNext;
                 }},
                {102,
                 [&] {
                   const bool ticked = Check1->value() == 1;
                   Text3->setEnabled(ticked);
                   Label3->setEnabled(ticked);
                   return kNext;
                 }}},
               report_);
}

void Form1::ListView1_KeyDown(int keyCode, int shift) {
  Q_UNUSED(shift);  // Shift+Delete and Ctrl+Delete delete too.
  runUntrapped(tag("ListView1_KeyDown"),
               {{100, [&] { return keyCode == kDeleteKey ? kNext : kReturn; }},
                {102, [&] { return mousePointer_ == kHourglass ? kReturn : kNext; }},
                {104, [&] { return ListView1->count() == 0 ? kReturn : kNext; }},
                {106,
                 [&] {
                   const int position = ListView1->selectedPosition();
                   if (position == 0) return kReturn;  // nothing selected: nothing to delete
                   ListView1->removeAt(position);
                   // The next item moves up into the place; keep it selected so that
                   // Delete can go on down the list.
                   if (ListView1->count() > 0) {
                     const int next = std::min(position, ListView1->count()) - 1;
                     ListView1->setCurrentItem(ListView1->topLevelItem(next));
                   }
                   return kNext;
                 }}},
               report_);
}

// ---------------------------------------------------------------- the run's view

std::string Form1::workbookPath() { return Text1->text().toStdString(); }
std::string Form1::copyCountText() { return Text2->text().toStdString(); }
std::string Form1::namingPattern() { return Text3->text().toStdString(); }
int Form1::renameValue() { return Check1->value(); }
std::vector<std::string> Form1::sheetItems() { return ListView1->texts(); }

std::string Form1::selectedSheet() {
  if (ListView1->selectedPosition() == 0) throw std::runtime_error(std::string(kNoSheetSelected));
  return ListView1->selectedText().toStdString();
}

void Form1::appendSheet(const std::string& name) {
  ListView1->append(QString::fromStdString(name));
}

// The run does not return to the event loop until it ends, so the bar is
// painted at once rather than scheduled; repaint() takes no input meanwhile.
void Form1::setProgressValue(double value) {
  ProgressBar1->setExactValue(value);
  ProgressBar1->repaint();
}

void Form1::setProgressText(const std::string& text) {
  ProgressBar1->setText(QString::fromStdString(text));
  ProgressBar1->repaint();
}

void Form1::setPointer(int shape) { setMousePointer(shape); }

void Form1::messageBox(const std::string& text, int style, const std::string& caption) {
  services_.boxes.show(text, style, caption);
}

}  // namespace orv
