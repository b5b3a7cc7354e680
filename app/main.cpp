// orvandel: the desktop window.
#include <QApplication>
#include <cstdio>
#include <exception>

#include "app/desktop_services.h"
#include "app/display.h"
#include "server/durable_file.h"
#include "server/memory_budget.h"
#include "ui/main/form1.h"

int main(int argc, char** argv) {
  if (const char* reason = orv::noDisplayReason(argc, argv)) {
    std::fprintf(stderr, "orvandel: %s\n", reason);
    return 2;
  }
  // Ended by a signal in the middle of a save, the window leaves no temporary file behind.
  orv::installTemporaryFileCleanup();
  orv::keepFreedMemoryForReuse();
  try {
    QApplication application(argc, argv);
    orv::DesktopServices desktop;
    orv::Form1 form(desktop.services());
    form.Form_Load();
    form.show();
    return application.exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvandel: %s\n", e.what());
    return 1;
  }
}
