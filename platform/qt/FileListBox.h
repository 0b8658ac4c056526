// A list of the file names of one directory, filtered by a mask of
// ";"-separated patterns with * and ?.
#pragma once

#include <QListWidget>
#include <QString>

namespace platform {

class FileListBox : public QListWidget {
  Q_OBJECT

 public:
  explicit FileListBox(QWidget* parent = nullptr);

  void SetDirectory(const QString& directory);
  QString Directory() const { return directory_; }
  // Sets the mask and re-reads the directory; the selection is cleared.
  void SetMask(const QString& mask);
  QString Mask() const { return mask_; }
  void Update();  // re-reads the directory

  QString SelectedName() const;  // empty when nothing is selected
  QString SelectedPath() const;  // full path, empty when nothing is selected

 signals:
  // The user picked a file with the mouse or the keyboard.
  void FileClicked();

 private:
  QString directory_;
  QString mask_ = QStringLiteral("*.*");
  bool refilling_ = false;
};

}  // namespace platform
