// orvandel: the desktop window.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/desktop_services.h"
#include "server/durable_file.h"
#include "ui/main/form1.h"

namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Qt ends the process with a long report when it cannot reach a display;
// say it in one line instead. Platforms other than the desktop's own
// (offscreen, vnc, ...) need no display.
bool displayAvailable(int argc, char** argv) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0) platform = argv[i + 1];
  }
  const bool x11 = set("DISPLAY");
  const bool wayland = set("WAYLAND_DISPLAY");
  if (!platform || !*platform) return x11 || wayland;
  if (std::strncmp(platform, "xcb", 3) == 0) return x11;
  if (std::strncmp(platform, "wayland", 7) == 0) return wayland;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!displayAvailable(argc, argv)) {
    std::fputs("orvandel: no display available; start it from a desktop session (X11 or Wayland)\n",
               stderr);
    return 2;
  }
  // Ended by a signal in the middle of a save, the window leaves no temporary file behind.
  orv::installTemporaryFileCleanup();
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
