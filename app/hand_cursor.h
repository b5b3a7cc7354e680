#pragma once

#include <QByteArray>
#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QString>
#include <optional>

namespace orv {

// The hot spot that a Windows cursor file gives its first picture, or nothing
// when `bytes` do not start like a cursor file.
std::optional<QPoint> cursorHotSpot(const QByteArray& bytes);

// The picture of a cursor file's bytes and the hot spot to use with it (the
// file's own, or (-1, -1) for the centre when it gives none inside the
// picture). `name` names the file in the failure. Throws std::runtime_error
// when the bytes are not a picture that can be loaded.
struct CursorPicture {
  QImage image;
  QPoint hotSpot;
};
CursorPicture readCursorPicture(const QByteArray& bytes, const QString& name);

// The mouse pointer in the cursor file at `path`, with the file's hot spot.
// Throws std::runtime_error when the file is not a picture that can be loaded.
QCursor loadCursorFile(const QString& path);

}  // namespace orv
