#pragma once

#include <QString>
#include <QTreeWidget>
#include <string>
#include <vector>

namespace orv {

// The sheet list: rows of one text each under column headers, addressed by
// 1-based position. It starts without any column.
class SheetList : public QTreeWidget {
  Q_OBJECT

 public:
  explicit SheetList(QWidget* parent = nullptr);

  // Adds a column with the header `text` at the list's default width.
  void addColumn(const QString& text);
  // Throws std::out_of_range when there is no such column (1-based).
  void setColumnWidthPixels(int column, int pixels);
  int columns() const { return columnCount_; }

  int count() const;
  void append(const QString& text);
  // Throws std::out_of_range for a position outside 1..count().
  void removeAt(int position);
  QString textAt(int position) const;
  // The selected item's position, 0 when none is selected.
  int selectedPosition() const;
  // Throws std::runtime_error when no item is selected.
  QString selectedText() const;
  std::vector<std::string> texts() const;

 private:
  int columnCount_ = 0;
};

}  // namespace orv
