#include "ui/main/form1.h"

#include <QCloseEvent>
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

#include "app/file_helpers.h"
#include "app/settings_store.h"
#include "app/theme.h"
#include "app/trap.h"
#include "automation/server_routines.h"
#include "ui/main/check_box.h"
#include "ui/main/progress_bar.h"
#include "ui/main/sheet_list.h"
#include "ui/main/twips.h"

namespace orv {

namespace {

constexpr int kDeleteKey = 46;
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
  // The buttons' click handlers (workbook selection and the duplication run)
  // are connected here as they come.
}

Form1::~Form1() = default;

void Form1::buildControls() {
  Frame2 = new QGroupBox(QStringLiteral("Copy Options"), this);
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

  Frame1 = new QGroupBox(QStringLiteral("Select Excel File and Sheet"), this);
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

QString Form1::tag(const char* handler) const {
  return locationTag(QStringLiteral("Form1"), QString::fromLatin1(handler));
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

void Form1::Text1_Change() {
  QString path;
  std::unique_ptr<Application> application;
  Workbook* workbook = nullptr;
  int worksheets = 0;
  const std::vector<Step> steps = {
      {100,
       [&] {
         path = Text1->text();
         services_.settings.write(QStringLiteral("Text1"), path);
         return kNext;
       }},
      {102, [&] { return FileExists(path) ? kNext : kReturn; }},
      {104,
       [&] {
         application = OpenWorkbook(services_.createServer, path);
         return kNext;
       }},
      {106,
       [&] {
         workbook = &application->workbooks().item(application->workbooks().count());
         return kNext;
       }},
      {108,
       [&] {
         worksheets = workbook->worksheets().count();
         return kNext;
       }},
      {110,
       [&] {
         for (int i = 1; i <= worksheets; ++i) {
           ListView1->append(QString::fromStdString(workbook->worksheets().item(i).name()));
         }
         return kNext;
       }},
      {112,
       [&] {
         application->quit();
         application.reset();
         return kNext;
       }},
  };
  runUntrapped(tag("Text1_Change"), steps, report_);
  // A listing that failed half-way still ends its instance; the names listed
  // so far stay.
  if (application) {
    try {
      application->quit();
    } catch (...) {
    }
  }
}

void Form1::Text2_Change() {
  runUntrapped(tag("Text2_Change"),
               {{100,
                 [&] {
                   services_.settings.write(QStringLiteral("Text2"), Text2->text());
                   return kNext;
                 }}},
               report_);
}

void Form1::Text3_Change() {
  runUntrapped(tag("Text3_Change"),
               {{100,
                 [&] {
                   services_.settings.write(QStringLiteral("Text3"), Text3->text());
                   return kNext;
                 }}},
               report_);
}

void Form1::Check1_Click() {
  runUntrapped(tag("Check1_Click"),
               {{100,
                 [&] {
                   services_.settings.write(QStringLiteral("Check1"),
                                            QString::number(Check1->value()));
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

}  // namespace orv
