// File services of the operating system that the builder and the window need
// beyond buffered streams: the running program's own file, the working
// directory, and a new file that replaces its final name only once it is
// complete. Names are bytes as the file system has them, never converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace platform {

// The running program's file by its full path; empty when it is unknown.
std::string RunningProgramPath();

// The process's working directory; empty when it is unknown.
std::string WorkingDirectory();

// True when both paths exist and are the same file, through whatever links
// lead to it: the device and inode numbers decide, on Windows the volume
// serial number and the file index (hard links included).
bool SameFile(const std::string& a, const std::string& b);

// A new file that is written under a temporary name in the folder of its
// final name and renamed over that name only when it is complete, so that a
// failure at any point leaves whatever had the final name untouched. A link
// at the final name is replaced, never followed. Until Commit the file is not
// executable; a file neither committed nor discarded is removed on
// destruction.
// Paths as byte strings, taken apart and put together without a round trip
// through another encoding (on Windows, the standard library's paths turn
// the system's ANSI names into UTF-8). Separators: "/", and on Windows "\"
// as well. A path is walked by characters of the names' encoding (Text.h,
// the system's by default), so that the second byte of a double-byte
// character is never taken for a separator or a dot: in code page 950,
// "C:\tools\\xB3\x5C" (the folder "許") ends in a name, not in a separator.
// The part after the last separator.
std::string PathFileName(const std::string& path, unsigned codePage = kSystemNames);
// The part before the last separator (without it); empty when there is none.
std::string PathDirectory(const std::string& path, unsigned codePage = kSystemNames);
// `name` inside `directory` (just `name` when the directory is empty).
std::string PathJoin(const std::string& directory, const std::string& name, unsigned codePage = kSystemNames);
// The path with the extension of its file name (from its last "." on, when
// that is not the name's first character) replaced by `extension`.
std::string PathWithExtension(const std::string& path, const std::string& extension,
                              unsigned codePage = kSystemNames);

// The names of the regular files in `directory`, as the system has them.
std::vector<std::string> DirectoryFileNames(const std::string& directory);

// A name for the temporary of a new file at `path`: hidden beside the final
// name (so that the rename stays within one file system), a new one for
// every call.
std::string TemporaryNameBeside(const std::string& path);

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `path`, exclusively, with the mode the
  // process's umask leaves for a new file.
  bool Create(const std::string& path);
  // Writes all of `data`.
  bool Write(const uint8_t* data, size_t size);
  // Everything written reaches the storage device.
  bool Flush();
  // The size of the file as the file system sees it.
  bool Size(uint64_t& size);
  // Gives the file the execute bits the umask allows, closes it and renames
  // it over the final name.
  bool Commit();
  // Closes and removes the temporary file; nothing happens when there is none.
  void Discard();

  // The system's words for the last failure.
  const std::string& Error() const { return error_; }
  // The temporary file's path while it exists.
  const std::string& TemporaryPath() const { return temporary_; }

 private:
  bool Failed();

  intptr_t handle_ = -1;
  unsigned mode_ = 0;  // the mode the file gets at Commit
  std::string path_;
  std::string temporary_;
  std::string error_;
};

}  // namespace platform
