#pragma once

#include <QByteArray>
#include <QCursor>
#include <QPoint>
#include <QString>
#include <optional>

namespace orv {

// The hot spot that a Windows cursor file gives its first picture, or nothing
// when `bytes` do not start like a cursor file.
std::optional<QPoint> cursorHotSpot(const QByteArray& bytes);

// The mouse pointer in the cursor file at `path`, with the file's hot spot.
// Throws std::runtime_error when the file is not a picture that can be loaded.
QCursor loadCursorFile(const QString& path);

}  // namespace orv
