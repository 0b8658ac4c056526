#include "platform/qt/FileListBox.h"

#include <QDir>

#include "platform/FileMask.h"

namespace platform {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemSelectionChanged, this, [this] {
    if (!refilling_) emit FileClicked();
  });
}

void FileListBox::SetDirectory(const QString& directory) {
  directory_ = directory;
  Update();
}

void FileListBox::SetMask(const QString& mask) {
  mask_ = mask;
  Update();
}

void FileListBox::Update() {
  refilling_ = true;
  clear();
  if (!directory_.isEmpty()) {
    for (const std::string& name : ListFiles(directory_.toStdString(), mask_.toStdString())) {
      addItem(QString::fromStdString(name));
    }
  }
  setCurrentRow(-1);
  clearSelection();
  refilling_ = false;
}

QString FileListBox::SelectedName() const {
  QList<QListWidgetItem*> items = selectedItems();
  return items.isEmpty() ? QString() : items.first()->text();
}

QString FileListBox::SelectedPath() const {
  QString name = SelectedName();
  return name.isEmpty() ? QString() : QDir(directory_).filePath(name);
}

}  // namespace platform
