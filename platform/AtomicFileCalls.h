// The system calls through which an AtomicFile (Files.h) puts its file on
// the device and gives it its final name. The writer makes them through this
// table, which holds the system's own functions; a test replaces an entry by
// a function that notes the call and the file it reaches and then makes it.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <cstdio>
#endif

namespace platform {

struct AtomicFileSystemCalls {
#if defined(_WIN32)
  // Of the file's handle, before it is closed.
  BOOL(WINAPI* flushFileBuffers)(HANDLE file) = &FlushFileBuffers;
  // Of the complete file to its name, replacing what had it and written through.
  BOOL(WINAPI* moveFileEx)(LPCSTR from, LPCSTR to, DWORD flags) = &MoveFileExA;
#else
  // Of the file's descriptor before it is closed, and after the rename of
  // its folder's, which then holds the new name.
  int (*fsync)(int fd) = &::fsync;
  // Of the complete file to its name.
  int (*rename)(const char* from, const char* to) = &::rename;
#endif
};

AtomicFileSystemCalls& AtomicFileCalls();

}  // namespace platform
