// Linux desktops: an X11 or Wayland session, unless a platform without a display is asked for.
#include <cstdlib>
#include <cstring>

#include "app/display.h"

namespace orv {

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

const char* noDisplayReason(int argc, char** argv) {
  if (displayAvailable(argc, argv)) return nullptr;
  return "no display available; start it from a desktop session (X11 or Wayland)";
}

}  // namespace orv
