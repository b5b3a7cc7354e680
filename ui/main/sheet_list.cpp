#include "ui/main/sheet_list.h"

#include <QHeaderView>
#include <stdexcept>

namespace orv {

SheetList::SheetList(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  setHeaderHidden(true);
  setColumnCount(0);
}

void SheetList::addColumn(const QString& text) {
  ++columnCount_;
  setColumnCount(columnCount_);
  headerItem()->setText(columnCount_ - 1, text);
  setHeaderHidden(false);
}

void SheetList::setColumnWidthPixels(int column, int pixels) {
  if (column < 1 || column > columnCount_) {
    throw std::out_of_range("The sheet list has no column " + std::to_string(column) + ".");
  }
  setColumnWidth(column - 1, pixels);
}

int SheetList::count() const { return topLevelItemCount(); }

void SheetList::append(const QString& text) {
  auto* item = new QTreeWidgetItem();
  item->setText(0, text);
  addTopLevelItem(item);
}

void SheetList::removeAt(int position) {
  if (position < 1 || position > count()) {
    throw std::out_of_range("The sheet list has no item " + std::to_string(position) + ".");
  }
  delete takeTopLevelItem(position - 1);
}

QString SheetList::textAt(int position) const {
  if (position < 1 || position > count()) {
    throw std::out_of_range("The sheet list has no item " + std::to_string(position) + ".");
  }
  return topLevelItem(position - 1)->text(0);
}

int SheetList::selectedPosition() const {
  const QList<QTreeWidgetItem*> selected = selectedItems();
  if (selected.isEmpty()) return 0;
  return indexOfTopLevelItem(selected.first()) + 1;
}

QString SheetList::selectedText() const {
  const int position = selectedPosition();
  if (position == 0) throw std::runtime_error("No sheet is selected in the list of sheets.");
  return textAt(position);
}

std::vector<std::string> SheetList::texts() const {
  std::vector<std::string> result;
  result.reserve(static_cast<size_t>(count()));
  for (int i = 0; i < count(); ++i) result.push_back(topLevelItem(i)->text(0).toStdString());
  return result;
}

}  // namespace orv
