#pragma once

#include <QColor>
#include <QString>
#include <vector>

class QWidget;

namespace orv {

// The system colour of 3-D faces (button faces) in the current colour scheme.
QColor faceColour();

// Paints `widget`'s background in `colour`.
void setBackColour(QWidget& widget, const QColor& colour);

// The skin file's text: a Qt style sheet in UTF-8. Throws std::runtime_error
// when the file cannot be read or is not UTF-8 text.
QString readSkin(const QString& path);

// ApplyTheme (module Main). When the skin file `applicationFolder`/x/o.cjs is
// listed as a plain file, `form` and those of `controls` that are option
// buttons, check boxes, frames or labels take the face colour, then the skin
// is applied to `form`. A failing step throws; what was done before stays.
void ApplyTheme(QWidget& form, const std::vector<QWidget*>& controls,
                const QString& applicationFolder);

}  // namespace orv
