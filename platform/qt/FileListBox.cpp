#include "platform/qt/FileListBox.h"

#include <QByteArray>
#include <QString>
#include <filesystem>

#include "platform/FileMask.h"

namespace platform {

namespace {

// Each item keeps the name's bytes beside the text it shows: a name that is
// not valid in the system's encoding shows replacement characters, but is
// opened by its own bytes.
constexpr int kNameRole = Qt::UserRole;

}  // namespace

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemSelectionChanged, this, [this] {
    if (!refilling_) emit FileClicked();
  });
}

void FileListBox::SetDirectory(const std::string& directory) {
  directory_ = directory;
  Update();
}

void FileListBox::SetMask(const std::string& mask) {
  mask_ = mask;
  Update();
}

void FileListBox::Update() {
  refilling_ = true;
  clear();
  if (!directory_.empty()) {
    for (const std::string& name : ListFiles(directory_, mask_)) {
      auto* item = new QListWidgetItem(QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())));
      item->setData(kNameRole, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
      addItem(item);
    }
  }
  setCurrentRow(-1);
  clearSelection();
  refilling_ = false;
}

std::string FileListBox::SelectedName() const {
  QList<QListWidgetItem*> items = selectedItems();
  return items.isEmpty() ? std::string() : items.first()->data(kNameRole).toByteArray().toStdString();
}

std::string FileListBox::SelectedPath() const {
  const std::string name = SelectedName();
  return name.empty() ? name : (std::filesystem::path(directory_) / name).string();
}

}  // namespace platform
