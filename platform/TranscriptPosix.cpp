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

// Makes `path` and its missing parents, for the user alone.
bool MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
  for (int attempt = 1; attempt < 100; ++attempt) {
    const std::string path = folder_ + "/" + TranscriptFileName(name, attempt);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      path_ = path;
      return std::make_unique<FileSink>(fd, path);
    }
    if (errno != EEXIST) {
      error_ = "cannot create " + path + ": " + std::strerror(errno);
      return nullptr;
    }
  }
  error_ = "cannot create a transcript in " + folder_ + ": too many of the same name";
  return nullptr;
}

uint64_t MonotonicMicroseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace platform
