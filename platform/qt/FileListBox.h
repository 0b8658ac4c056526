// A list of the file names of one directory, filtered by a mask of
// ";"-separated patterns with * and ?. Names and the directory are kept as the
// bytes the file system has them; only the text shown is converted.
#pragma once

#include <QListWidget>
#include <string>

namespace platform {

class FileListBox : public QListWidget {
  Q_OBJECT

 public:
  explicit FileListBox(QWidget* parent = nullptr);

  void SetDirectory(const std::string& directory);
  const std::string& Directory() const { return directory_; }
  // Sets the mask and re-reads the directory; the selection is cleared.
  void SetMask(const std::string& mask);
  const std::string& Mask() const { return mask_; }
  void Update();  // re-reads the directory

  std::string SelectedName() const;  // empty when nothing is selected
  std::string SelectedPath() const;  // full path, empty when nothing is selected

 signals:
  // The user picked a file with the mouse or the keyboard.
  void FileClicked();

 private:
  std::string directory_;
  std::string mask_ = "*.*";
  bool refilling_ = false;
};

}  // namespace platform
