// Arbitrary bytes as the hand cursor file. Besides not crashing: a picture
// that loads has a hot spot inside it or none at all, and a failure is the
// reader's own clear error.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "app/hand_cursor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int argc = 1;
  static char name[] = "fuzz_cursor_file";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);  // for Qt's image plugins
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  try {
    const orv::CursorPicture cursor = orv::readCursorPicture(bytes, QStringLiteral("HAND-M.CUR"));
    if (cursor.image.isNull()) __builtin_trap();
    if (cursor.hotSpot != QPoint(-1, -1) && !cursor.image.rect().contains(cursor.hotSpot)) {
      __builtin_trap();
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
