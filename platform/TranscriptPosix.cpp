#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/Transcript.h"

namespace platform {

namespace {

// Each line goes to the system with one write: nothing stays in the
// program's buffers when it ends unexpectedly.
class FileSink final : public TranscriptSink {
 public:
  FileSink(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  // What came after the flash start reaches the disk as the system
  // writes it back; the lines up to it were synced before it was sent.
  ~FileSink() override { ::close(fd_); }
  bool WriteLine(const std::string& line) override {
    const std::string whole = line + "\n";
    size_t done = 0;
    while (done < whole.size()) {
      const ssize_t written = ::write(fd_, whole.data() + done, whole.size() - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += static_cast<size_t>(written);
    }
    return true;
  }
  void Sync() override { ::fdatasync(fd_); }
  std::string Where() const override { return path_; }

 private:
  int fd_;
  std::string path_;
};

// Makes `path` and its missing parents, for the user alone. What stands at
// `path` already is left as it is: OpenOwnFolder decides whether it may be used.
bool MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// The folder at `folder` itself (a link there is not followed), when it is
// the user's alone: owned by the user the program runs as, and writable by
// neither its group nor others. Anyone else who may write into it could
// replace a transcript, or put a link where the next one goes. The
// transcript is made relative to the descriptor, so nothing can be swapped
// in between the check and the write. -1 with `why` (what is wrong and what
// to do) when the folder may not be used.
int OpenOwnFolder(const std::string& folder, std::string& why) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) {
    const int error = errno;
    if (::lstat(folder.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      why = "is a link: put a folder of your own in its place (mkdir -m 700), or set XDG_STATE_HOME to one";
    } else if (error == ENOTDIR) {
      why = "is not a folder: remove it, or set XDG_STATE_HOME to a folder of your own";
    } else {
      why = std::string("cannot be opened: ") + std::strerror(error);
    }
    return -1;
  }
  const std::string chmod = " (chmod 700 " + folder + ")";
  if (::fstat(fd, &info) != 0) {
    why = std::string("cannot be examined: ") + std::strerror(errno);
  } else if (info.st_uid != ::geteuid()) {
    why = "belongs to user " + std::to_string(info.st_uid) + ", not to user " + std::to_string(::geteuid()) +
          " who runs the program: set XDG_STATE_HOME to a folder of your own (with sudo, leave out -E)";
  } else if ((info.st_mode & S_IWOTH) != 0) {
    why = "is writable by others: make it yours alone" + chmod;
  } else if ((info.st_mode & S_IWGRP) != 0) {
    why = "is writable by its group: make it yours alone" + chmod;
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
}

}  // namespace

FolderTranscriptStore::FolderTranscriptStore(std::string folder)
    : folder_(folder.empty() ? DefaultFolder() : std::move(folder)) {}

std::string FolderTranscriptStore::DefaultFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // A relative XDG_STATE_HOME is invalid and ignored.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/flashutil";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/flashutil";
  return {};
}

std::unique_ptr<TranscriptSink> FolderTranscriptStore::Create(const std::string& name) {
  path_.clear();
  error_.clear();
  if (folder_.empty()) {
    error_ = "no transcript: neither XDG_STATE_HOME nor HOME names a folder for it";
    return nullptr;
  }
  if (!MakeFolders(folder_)) {
    error_ = "cannot create the folder " + folder_ + ": " + std::strerror(errno);
    return nullptr;
  }
  std::string why;
  const int directory = OpenOwnFolder(folder_, why);
  if (directory < 0) {
    error_ = "no transcript: the transcript folder " + folder_ + " " + why;
    return nullptr;
  }
  std::unique_ptr<TranscriptSink> sink;
  for (int attempt = 1; attempt < 100 && sink == nullptr && error_.empty(); ++attempt) {
    const std::string file = TranscriptFileName(name, attempt);
    const int fd = ::openat(directory, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      path_ = folder_ + "/" + file;
      sink = std::make_unique<FileSink>(fd, path_);
    } else if (errno != EEXIST) {
      error_ = "cannot create " + folder_ + "/" + file + ": " + std::strerror(errno);
    }
  }
  ::close(directory);
  if (sink == nullptr && error_.empty()) {
    error_ = "cannot create a transcript in " + folder_ + ": too many of the same name";
  }
  return sink;
}

uint64_t MonotonicMicroseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace platform
