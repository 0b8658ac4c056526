// The file services on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/AtomicFileCalls.h"
#include "platform/Files.h"

namespace platform {

namespace {

int Descriptor(intptr_t handle) { return static_cast<int>(handle); }

std::string Parent(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? std::string(".") : parent;
}

}  // namespace

std::string RunningProgramPath() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string WorkingDirectory() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::current_path(error);
  return error ? std::string() : path.string();
}

std::vector<std::string> DirectoryFileNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::error_code typeError;
    if (entry.is_regular_file(typeError)) names.push_back(entry.path().filename().string());
  }
  return names;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

AtomicFileSystemCalls& AtomicFileCalls() {
  static AtomicFileSystemCalls calls;
  return calls;
}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Failed() {
  error_ = std::strerror(errno);
  return false;
}

bool AtomicFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  // A name that is taken is never reused.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = TemporaryNameBeside(path);
    // Created with every permission the umask leaves, to learn what it
    // leaves, and at once made non-executable: an incomplete program must
    // not be started.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0777);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return Failed();
    }
    handle_ = fd;
    temporary_ = candidate;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Failed();
    mode_ = info.st_mode & 07777;
    if (::fchmod(fd, mode_ & ~0111u) != 0) return Failed();
    return true;
  }
  errno = EEXIST;
  return Failed();
}

bool AtomicFile::Write(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(Descriptor(handle_), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool AtomicFile::Flush() {
  return AtomicFileCalls().fsync(Descriptor(handle_)) == 0 || Failed();
}

bool AtomicFile::Size(uint64_t& size) {
  struct stat info {};
  if (::fstat(Descriptor(handle_), &info) != 0) return Failed();
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool AtomicFile::Commit() {
  if (::fchmod(Descriptor(handle_), mode_) != 0) return Failed();
  const int fd = Descriptor(handle_);
  handle_ = -1;
  // A file system may report a failed write only when the file is closed.
  if (::close(fd) != 0) return Failed();
  if (AtomicFileCalls().rename(temporary_.c_str(), path_.c_str()) != 0) return Failed();
  temporary_.clear();
  // The new directory entry reaches the device as well (where the folder
  // can be opened for that at all).
  const int directory = ::open(Parent(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    AtomicFileCalls().fsync(directory);
    ::close(directory);
  }
  return true;
}

void AtomicFile::Discard() {
  if (handle_ >= 0) ::close(Descriptor(handle_));
  handle_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

}  // namespace platform
