#include "app/hand_cursor.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>
#include <stdexcept>

namespace orv {

namespace {

// ICONDIR (6 bytes) and the first ICONDIRENTRY (16 bytes). In a cursor file
// the entry's planes and bit-count fields hold the hot spot.
constexpr int kHeaderSize = 6 + 16;
constexpr quint16 kCursorType = 2;

quint16 word(const QByteArray& bytes, int offset) {
  return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

}  // namespace

std::optional<QPoint> cursorHotSpot(const QByteArray& bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  if (word(bytes, 0) != 0 || word(bytes, 2) != kCursorType || word(bytes, 4) == 0) {
    return std::nullopt;
  }
  return QPoint(word(bytes, 6 + 4), word(bytes, 6 + 6));
}

CursorPicture readCursorPicture(const QByteArray& bytes, const QString& name) {
  CursorPicture cursor;
  // Qt's icon reader takes both icon ("ico") and cursor ("cur") files.
  if (!cursor.image.loadFromData(bytes, "cur") && !cursor.image.loadFromData(bytes)) {
    throw std::runtime_error("The cursor file " + name.toStdString() +
                             " is not a picture that can be loaded.");
  }
  cursor.hotSpot = cursorHotSpot(bytes).value_or(QPoint(-1, -1));
  // A hot spot outside the picture would make Qt put it at the centre anyway;
  // say so plainly.
  if (!cursor.image.rect().contains(cursor.hotSpot)) cursor.hotSpot = QPoint(-1, -1);
  return cursor;
}

QCursor loadCursorFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error("The cursor file " + path.toStdString() +
                             " could not be read: " + file.errorString().toStdString() + ".");
  }
  const CursorPicture cursor = readCursorPicture(file.readAll(), path);
  return QCursor(QPixmap::fromImage(cursor.image), cursor.hotSpot.x(), cursor.hotSpot.y());
}

}  // namespace orv
