// The ASPI library path: GetVersionExA decides it, LoadLibraryA loads
// WNASPI32.DLL, and each command is an SRB_ExecSCSICmd request that the
// library completes by setting the request's status and signalling the
// request's event.
//
// A request whose wait times out is not cancelled, so the library may still
// complete it later. It must never complete into memory that a newer command
// uses: every request has a request block, a data buffer and an event of its
// own, and those of a request left outstanding are kept until the library
// has completed it or is released. Data moves between the caller's buffer
// and the request's buffer before and after the command.
//
// A request ends once, when both its status has left "pending" and its event
// has been signalled, in whichever order the library does the two, and
// however far apart. Only then does the library touch neither its request
// block nor its event, so only then is the event closed: were it closed
// while a signal is still to come, the next request's new event could get
// the same handle and be woken by that signal, and the next command would be
// given up while the drive carries it out. This holds for a request that
// completed at once, when SendASPI32Command returned, too. A request whose
// event is signalled while its status still reads pending is waited for until
// its status arrives (within its time-out). The caller has its results as
// soon as the status has arrived; the request block and event stay behind
// until the signal comes, or until the library is released (a library that
// never signals a request it completed at once keeps them until then).
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

#include "platform/Sense.h"
#include "platform/win/WinTransport.h"

namespace platform::win {

namespace {

#pragma pack(push, 1)
// The library's execute-command request (SRB_ExecSCSICmd), as every ASPI
// library for Windows takes it: packed, with 32-bit pointers, 64 bytes of
// header and command block and a 16-byte sense area.
struct SrbExecScsiCmd {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE* SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  void* SRB_PostProc;
  void* SRB_Rsvd2;
  BYTE SRB_Rsvd3[16];
  BYTE CDBByte[16];
  BYTE SenseArea[16];
};
#pragma pack(pop)
static_assert(sizeof(void*) == 4, "ASPI libraries are 32-bit ones");
static_assert(sizeof(SrbExecScsiCmd) == 80, "request layout");
static_assert(offsetof(SrbExecScsiCmd, SRB_Target) == 8 && offsetof(SrbExecScsiCmd, SRB_BufLen) == 12 &&
                  offsetof(SrbExecScsiCmd, SRB_BufPointer) == 16 && offsetof(SrbExecScsiCmd, SRB_SenseLen) == 20 &&
                  offsetof(SrbExecScsiCmd, SRB_HaStat) == 22 && offsetof(SrbExecScsiCmd, SRB_PostProc) == 24 &&
                  offsetof(SrbExecScsiCmd, SRB_Rsvd3) == 32 && offsetof(SrbExecScsiCmd, CDBByte) == 48,
              "request fields");
static_assert(offsetof(SrbExecScsiCmd, SenseArea) == 64, "sense area");

using SupportInfoEntry = DWORD(__cdecl*)();
using SendCommandEntry = DWORD(__cdecl*)(void*);

// One request as the library sees it, with what it owns.
struct Outstanding {
  SrbExecScsiCmd srb{};
  std::vector<uint8_t> data;
  HANDLE event = nullptr;
  bool signalled = false;         // a wait has taken the event's signal
  AspiRequest* caller = nullptr;  // the caller's request while it waits for this one

  ~Outstanding() {
    if (event != nullptr) CloseHandle(event);
  }
  bool Pending() const { return *static_cast<volatile const BYTE*>(&srb.SRB_Status) == kSrbPending; }
  // Whether the event has been signalled, taking the signal if it is there
  // now (the event resets itself on a wait).
  bool Signalled() {
    if (!signalled) signalled = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    return signalled;
  }
  // The library has set the request's status and signalled its event: it
  // touches neither any more.
  bool Done() { return Signalled() && !Pending(); }
};

class WinAspiLibrary final : public AspiLibrary {
 public:
  explicit WinAspiLibrary(HMODULE module) : module_(module) {}

  ~WinAspiLibrary() override {
    // Released library: nothing can complete into the requests left behind,
    // nor signal their events, any more.
    FreeLibrary(module_);
    left_.clear();
  }

  bool HasEntry(const std::string& name) override { return GetProcAddress(module_, name.c_str()) != nullptr; }

  uint32_t GetSupportInfo() override {
    auto entry = reinterpret_cast<SupportInfoEntry>(
        reinterpret_cast<void*>(GetProcAddress(module_, "GetASPI32SupportInfo")));
    return entry != nullptr ? entry() : 0;
  }

  void SendCommand(AspiRequest& request) override {
    ReleaseCompleted();
    current_ = std::make_unique<Outstanding>();
    Outstanding& out = *current_;
    out.caller = &request;
    out.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    out.data.assign(request.buffer != nullptr ? request.bufferLength : 0, 0);
    if ((request.flags & kSrbDirOut) != 0 && !out.data.empty()) {
      std::memcpy(out.data.data(), request.buffer, out.data.size());
    }
    SrbExecScsiCmd& srb = out.srb;
    srb.SRB_Cmd = request.command;
    srb.SRB_HaId = request.hostAdapter;
    srb.SRB_Flags = request.flags;
    srb.SRB_Target = request.target;
    srb.SRB_Lun = request.lun;
    srb.SRB_BufLen = static_cast<DWORD>(out.data.size());
    srb.SRB_BufPointer = out.data.empty() ? nullptr : out.data.data();
    srb.SRB_SenseLen = request.senseLength;
    srb.SRB_CDBLen = request.cdbLength;
    srb.SRB_PostProc = out.event;
    std::memcpy(srb.CDBByte, request.cdb.data(), sizeof srb.CDBByte);

    auto entry = reinterpret_cast<SendCommandEntry>(
        reinterpret_cast<void*>(GetProcAddress(module_, "SendASPI32Command")));
    if (entry == nullptr || out.event == nullptr) {
      request.status = kSrbError;
      current_.reset();
      return;
    }
    entry(&srb);
    if (!out.Pending()) Finish();
  }

  bool WaitForCompletion(AspiRequest& request, uint32_t milliseconds) override {
    if (!current_ || current_->caller != &request) return request.status != kSrbPending;
    Outstanding& out = *current_;
    const DWORD start = GetTickCount();
    if (WaitForSingleObject(out.event, milliseconds) == WAIT_OBJECT_0) {
      out.signalled = true;
      ResetEvent(out.event);
      // Signalled before its status was set: the status follows.
      while (out.Pending() && GetTickCount() - start < milliseconds) Sleep(1);
    }
    // The status has arrived, with the signal or without it yet.
    if (!out.Pending()) {
      Finish();
      return true;
    }
    // Left outstanding: the caller's request stays pending for good, and
    // the request's own block, buffer and event live on.
    out.caller = nullptr;
    left_.push_back(std::move(current_));
    return false;
  }

  int SystemError() const override { return static_cast<int>(GetLastError()); }

  std::string ErrorText(int code) const override { return SystemErrorText(static_cast<uint32_t>(code)); }

 private:
  // The current request's status has arrived: its results go to the
  // caller's request. Its block and event stay until its signal has come.
  void Finish() {
    Outstanding& out = *current_;
    MemoryBarrier();  // what the library wrote before the status, read after it
    AspiRequest& request = *out.caller;
    request.status = out.srb.SRB_Status;
    request.hostStatus = out.srb.SRB_HaStat;
    request.targetStatus = out.srb.SRB_TargStat;
    // Sense in fixed-format positions, whatever format the drive answered in.
    const size_t senseLength = std::min<size_t>(out.srb.SRB_SenseLen, sizeof out.srb.SenseArea);
    const SenseArea sense = NormaliseSense(out.srb.SenseArea, senseLength);
    std::memcpy(request.senseArea.data(), sense.data(), request.senseArea.size());
    if ((request.flags & kSrbDirIn) != 0 && !out.data.empty()) {
      std::memcpy(request.buffer, out.data.data(), out.data.size());
    }
    out.caller = nullptr;
    // The status is the library's last word on the data: the buffer can go.
    std::vector<uint8_t>().swap(out.data);
    if (out.Done()) {
      current_.reset();
    } else {
      left_.push_back(std::move(current_));
    }
  }

  void ReleaseCompleted() {
    left_.remove_if([](const std::unique_ptr<Outstanding>& out) { return out->Done(); });
  }

  HMODULE module_;
  std::unique_ptr<Outstanding> current_;
  // Requests the library has not yet done with: left by a timed-out wait,
  // or with their status but without their signal yet.
  std::list<std::unique_ptr<Outstanding>> left_;
};

class WinCommandLibraryPath final : public CommandLibraryPath {
 public:
  bool UsesPassThrough() override {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;  // 148
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }

  std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string& name) override {
    const HMODULE module = LoadLibraryA(name.c_str());
    if (reinterpret_cast<uintptr_t>(module) < 32) return nullptr;
    return std::make_unique<WinAspiLibrary>(module);
  }
};

}  // namespace

std::unique_ptr<CommandLibraryPath> MakeCommandLibraryPath() { return std::make_unique<WinCommandLibraryPath>(); }

}  // namespace platform::win
