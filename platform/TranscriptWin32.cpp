#include <windows.h>

#include <cstdlib>

#include "platform/Transcript.h"

namespace platform {

namespace {

// Each line goes to the system with one WriteFile: nothing stays in the
// program's buffers when it ends unexpectedly.
class FileSink final : public TranscriptSink {
 public:
  FileSink(HANDLE file, std::string path) : file_(file), path_(std::move(path)) {}
  // What came after the flash start reaches the disk as the system
  // writes it back; the lines up to it were flushed before it was sent.
  ~FileSink() override { CloseHandle(file_); }
  bool WriteLine(const std::string& line) override {
    const std::string whole = line + "\r\n";
    DWORD written = 0;
    return WriteFile(file_, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) != 0 &&
           written == whole.size();
  }
  void Sync() override { FlushFileBuffers(file_); }
  std::string Where() const override { return path_; }

 private:
  HANDLE file_;
  std::string path_;
};

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) result.pop_back();
  return result;
}

}  // namespace

FolderTranscriptStore::FolderTranscriptStore(std::string folder)
    : folder_(folder.empty() ? DefaultFolder() : std::move(folder)) {}

std::string FolderTranscriptStore::DefaultFolder() {
  char local[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", local, sizeof local);
  // Windows XP has no LOCALAPPDATA variable: its local application data
  // lies under the user's profile.
  if (length > 0 && length < sizeof local) return std::string(local) + "\\flashutil";
  const DWORD profile = GetEnvironmentVariableA("USERPROFILE", local, sizeof local);
  if (profile > 0 && profile < sizeof local) return std::string(local) + "\\Local Settings\\Application Data\\flashutil";
  return {};
}

std::unique_ptr<TranscriptSink> FolderTranscriptStore::Create(const std::string& name) {
  path_.clear();
  error_.clear();
  if (folder_.empty()) {
    error_ = "no transcript: neither LOCALAPPDATA nor USERPROFILE names a folder for it";
    return nullptr;
  }
  if (!CreateDirectoryA(folder_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error_ = "cannot create the folder " + folder_ + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  // A link in the folder's place (a junction or a symbolic link: a reparse
  // point) would take the transcript wherever whoever made it chose.
  const DWORD attributes = GetFileAttributesA(folder_.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error_ = "no transcript: the transcript folder " + folder_ + " is a link: put a folder of your own in its place";
    return nullptr;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error_ = "no transcript: the transcript folder " + folder_ + " is not a folder: remove it";
    return nullptr;
  }
  for (int attempt = 1; attempt < 100; ++attempt) {
    const std::string path = folder_ + "\\" + TranscriptFileName(name, attempt);
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      path_ = path;
      return std::make_unique<FileSink>(handle, path);
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      error_ = "cannot create " + path + ": " + ErrorText(error);
      return nullptr;
    }
  }
  error_ = "cannot create a transcript in " + folder_ + ": too many of the same name";
  return nullptr;
}

uint64_t MonotonicMicroseconds() {
  // The performance counter, not the C++ clocks: those bring in the POSIX
  // thread library's clock functions and their imports.
  static const uint64_t frequency = [] {
    LARGE_INTEGER value;
    return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? static_cast<uint64_t>(value.QuadPart) : 1000;
  }();
  LARGE_INTEGER now;
  if (!QueryPerformanceCounter(&now)) return static_cast<uint64_t>(GetTickCount()) * 1000;
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

}  // namespace platform
