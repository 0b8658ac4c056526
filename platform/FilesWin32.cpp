// The file services on Windows.
#include <windows.h>


#include "platform/AtomicFileCalls.h"
#include "platform/Files.h"

namespace platform {

namespace {

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The system's text for its last error, without the line end it comes with.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
  if (length == 0) return "Error " + std::to_string(code);
  return std::string(text, length);
}

}  // namespace

std::string RunningProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string WorkingDirectory() {
  const DWORD length = GetCurrentDirectoryA(0, nullptr);
  if (length == 0) return {};
  std::string directory(length, '\0');
  const DWORD copied = GetCurrentDirectoryA(length, directory.data());
  directory.resize(copied < length ? copied : 0);
  return directory;
}

std::vector<std::string> DirectoryFileNames(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(PathJoin(directory, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0) {
      names.push_back(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

namespace {

// The file's volume and index; false when it cannot be opened.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  return known;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  if (!Identify(a, first) || !Identify(b, second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

AtomicFileSystemCalls& AtomicFileCalls() {
  static AtomicFileSystemCalls calls;
  return calls;
}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Failed() {
  error_ = LastErrorText();
  return false;
}

bool AtomicFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  // A name that is taken is never reused.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = TemporaryNameBeside(path);
    const HANDLE file = CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return Failed();
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    temporary_ = candidate;
    return true;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return Failed();
}

bool AtomicFile::Write(const uint8_t* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(Handle(handle_), data, chunk, &written, nullptr)) return Failed();
    data += written;
    size -= written;
  }
  return true;
}

bool AtomicFile::Flush() {
  return AtomicFileCalls().flushFileBuffers(Handle(handle_)) != FALSE || Failed();
}

bool AtomicFile::Size(uint64_t& size) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(Handle(handle_), &length)) return Failed();
  size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

bool AtomicFile::Commit() {
  const HANDLE file = Handle(handle_);
  handle_ = -1;
  if (!CloseHandle(file)) return Failed();
  // The complete file takes the final name in one step; whatever had the
  // name (a link included) is replaced, and the rename reaches the disk
  // before the call returns.
  if (!AtomicFileCalls().moveFileEx(temporary_.c_str(), path_.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Failed();
  }
  temporary_.clear();
  return true;
}

void AtomicFile::Discard() {
  if (handle_ != -1) CloseHandle(Handle(handle_));
  handle_ = -1;
  if (!temporary_.empty()) DeleteFileA(temporary_.c_str());
  temporary_.clear();
}

}  // namespace platform
