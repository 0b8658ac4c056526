// A small ASPI library (WNASPI32.DLL) for the tests: it lets a program on its
// ASPI path (taken where the system reports a Windows outside the NT family,
// as Wine set to Windows 98 does) reach the CD-ROM drive letters of a system
// that has only the storage driver's pass-through control (Wine, or any
// NT-family Windows).
//
// Host adapter N, target 0, LUN 0 is the Nth CD-ROM drive letter in letter
// order; no adapter has any other target or LUN. Each execute-command request
// is queued and carried out on the library's own worker thread with
// IOCTL_SCSI_PASS_THROUGH_DIRECT on the drive letter's device, so that
// SendASPI32Command answers "pending" at once and the completion comes later,
// from another thread, as with a real ASPI layer: the worker fills in the
// host adapter status, the target status and the sense area, then the
// request's status, and only then signals the request's event (or calls its
// post routine).
//
// Requests: host adapter inquiry, device type, execute command (with event
// notification or posting) and abort (of a request still waiting in the
// queue; one on the drive cannot be called back).
#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <string>

namespace {

constexpr BYTE kHaInquiry = 0x00;
constexpr BYTE kGetDeviceType = 0x01;
constexpr BYTE kExecScsiCommand = 0x02;
constexpr BYTE kAbortRequest = 0x03;

constexpr BYTE kPending = 0x00;
constexpr BYTE kCompleted = 0x01;
constexpr BYTE kAborted = 0x02;
constexpr BYTE kAbortFailed = 0x03;
constexpr BYTE kError = 0x04;
constexpr BYTE kInvalidCommand = 0x80;
constexpr BYTE kInvalidHostAdapter = 0x81;
constexpr BYTE kNoDevice = 0x82;
constexpr BYTE kInvalidRequest = 0xE0;
constexpr BYTE kNoAdapters = 0xE8;

constexpr BYTE kPosting = 0x01;
constexpr BYTE kDirIn = 0x08;
constexpr BYTE kDirOut = 0x10;
constexpr BYTE kEventNotify = 0x40;

constexpr BYTE kHostOk = 0x00;
constexpr BYTE kHostCommandTimeOut = 0x0B;
constexpr BYTE kHostSelectionTimeOut = 0x11;
constexpr BYTE kHostDataOverUnderrun = 0x12;

constexpr BYTE kCheckCondition = 0x02;
constexpr BYTE kCdRomDevice = 0x05;

// The longest any caller waits for a command (a flash start); the drive's
// own time-outs are shorter.
constexpr ULONG kPassThroughSeconds = 180;

#pragma pack(push, 1)
struct SrbHeader {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
};

struct SrbHaInquiry {
  SrbHeader header;
  BYTE HA_Count;
  BYTE HA_SCSI_ID;
  BYTE HA_ManagerId[16];
  BYTE HA_Identifier[16];
  BYTE HA_Unique[16];
  WORD HA_Rsvd1;
};

struct SrbGetDeviceType {
  SrbHeader header;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  BYTE SRB_DeviceType;
  BYTE SRB_Rsvd1;
};

// Pointers as wide as the process's: the classic 80-byte request in a
// 32-bit process.
struct SrbExecScsiCmd {
  SrbHeader header;
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

struct SrbAbort {
  SrbHeader header;
  void* SRB_ToAbort;
};
#pragma pack(pop)
static_assert(sizeof(SrbExecScsiCmd) == 64 + 16 + 3 * (sizeof(void*) - 4), "request layout");
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 48 + 3 * (sizeof(void*) - 4), "command block");
static_assert(sizeof(SrbHaInquiry) == 60 && sizeof(SrbGetDeviceType) == 12, "request layouts");

// The pass-through request with room for sense data behind it.
struct PassThrough {
  SCSI_PASS_THROUGH_DIRECT request;
  ULONG filler;
  UCHAR sense[32];
};

struct Adapter {
  char letter;
  HANDLE device;
};

// The library's state, set up at the first call.
CRITICAL_SECTION lock;
bool started = false;
bool detaching = false;
bool busy = false;  // the worker is carrying out or completing a request
std::deque<SrbExecScsiCmd*> queue;
Adapter adapters[26];
int adapterCount = 0;
HANDLE wake = nullptr;  // a request is queued
HANDLE idle = nullptr;  // the worker has let go of its request while the library is released
HANDLE worker = nullptr;

DWORD WINAPI Work(void*);

// Lists the CD-ROM drive letters and starts the worker; under the lock.
void Start() {
  if (started) return;
  started = true;
  char letters[4 * 26 + 2] = {};
  const DWORD length = GetLogicalDriveStringsA(sizeof letters - 1, letters);
  if (length > 0 && length < sizeof letters) {
    for (const char* root = letters; *root != '\0'; root += std::strlen(root) + 1) {
      if (GetDriveTypeA(root) == DRIVE_CDROM && adapterCount < 26) {
        adapters[adapterCount++] = Adapter{static_cast<char>(root[0] & ~0x20), INVALID_HANDLE_VALUE};
      }
    }
  }
  wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  worker = CreateThread(nullptr, 0, Work, nullptr, 0, nullptr);
}

// The drive letter's device of an adapter, opened at its first command and
// kept open.
HANDLE Device(Adapter& adapter) {
  if (adapter.device == INVALID_HANDLE_VALUE) {
    const char path[] = {'\\', '\\', '.', '\\', adapter.letter, ':', '\0'};
    adapter.device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  }
  return adapter.device;
}

// Carries out one request on its drive and completes it: status fields and
// sense first, the request's status after them, the notification last.
void Execute(SrbExecScsiCmd& srb) {
  BYTE status = kCompleted;
  BYTE hostStatus = kHostOk;
  BYTE targetStatus = 0;
  BYTE sense[sizeof srb.SenseArea] = {};

  const HANDLE device = Device(adapters[srb.header.SRB_HaId]);
  if (device == INVALID_HANDLE_VALUE) {
    status = kError;
    hostStatus = kHostSelectionTimeOut;
  } else {
    PassThrough block;
    std::memset(&block, 0, sizeof block);
    SCSI_PASS_THROUGH_DIRECT& request = block.request;
    request.Length = sizeof request;
    request.CdbLength = srb.SRB_CDBLen;
    request.SenseInfoLength = sizeof block.sense;
    request.SenseInfoOffset = offsetof(PassThrough, sense);
    request.DataIn = (srb.header.SRB_Flags & kDirOut) != 0  ? SCSI_IOCTL_DATA_OUT
                     : (srb.header.SRB_Flags & kDirIn) != 0 ? SCSI_IOCTL_DATA_IN
                                                            : SCSI_IOCTL_DATA_UNSPECIFIED;
    request.DataTransferLength = srb.SRB_BufLen;
    request.DataBuffer = srb.SRB_BufLen > 0 ? srb.SRB_BufPointer : nullptr;
    request.TimeOutValue = kPassThroughSeconds;
    std::memcpy(request.Cdb, srb.CDBByte, srb.SRB_CDBLen);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block, sizeof block,
                         &returned, nullptr)) {
      const DWORD code = GetLastError();
      status = kError;
      hostStatus = code == ERROR_SEM_TIMEOUT || code == ERROR_TIMEOUT ? kHostCommandTimeOut : kHostSelectionTimeOut;
    } else if (request.ScsiStatus != 0) {
      status = kError;
      targetStatus = request.ScsiStatus;
      if (request.ScsiStatus == kCheckCondition) {
        const size_t length = srb.SRB_SenseLen < sizeof sense ? srb.SRB_SenseLen : sizeof sense;
        std::memcpy(sense, block.sense, length);
      }
    } else if ((srb.header.SRB_Flags & kDirIn) != 0 && request.DataTransferLength < srb.SRB_BufLen) {
      // The drive sent less than was asked for.
      status = kError;
      hostStatus = kHostDataOverUnderrun;
    }
  }

  srb.SRB_HaStat = hostStatus;
  srb.SRB_TargStat = targetStatus;
  std::memcpy(srb.SenseArea, sense, sizeof sense);
  MemoryBarrier();
  *static_cast<volatile BYTE*>(&srb.header.SRB_Status) = status;
  MemoryBarrier();
  if ((srb.header.SRB_Flags & kEventNotify) != 0) {
    if (srb.SRB_PostProc != nullptr) SetEvent(static_cast<HANDLE>(srb.SRB_PostProc));
  } else if ((srb.header.SRB_Flags & kPosting) != 0 && srb.SRB_PostProc != nullptr) {
    void (*post)(void*) = nullptr;
    std::memcpy(&post, &srb.SRB_PostProc, sizeof post);
    post(&srb);
  }
}

DWORD WINAPI Work(void*) {
  for (;;) {
    WaitForSingleObject(wake, INFINITE);
    for (;;) {
      EnterCriticalSection(&lock);
      if (detaching || queue.empty()) {
        LeaveCriticalSection(&lock);
        break;
      }
      SrbExecScsiCmd* srb = queue.front();
      queue.pop_front();
      busy = true;
      LeaveCriticalSection(&lock);

      Execute(*srb);

      EnterCriticalSection(&lock);
      busy = false;
      if (detaching) SetEvent(idle);
      LeaveCriticalSection(&lock);
    }
  }
}

void PadText(BYTE (&field)[16], const std::string& text) {
  std::memset(field, ' ', sizeof field);
  std::memcpy(field, text.data(), text.size() < sizeof field ? text.size() : sizeof field);
}

BYTE HaInquiry(SrbHaInquiry& srb) {
  if (srb.header.SRB_HaId >= adapterCount && !(srb.header.SRB_HaId == 0 && adapterCount == 0)) {
    return kInvalidHostAdapter;
  }
  srb.HA_Count = static_cast<BYTE>(adapterCount);
  srb.HA_SCSI_ID = 7;
  PadText(srb.HA_ManagerId, "ASPI for WIN32");
  PadText(srb.HA_Identifier, adapterCount == 0 ? std::string("none")
                                               : std::string("pass-through ") + adapters[srb.header.SRB_HaId].letter + ":");
  std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
  srb.HA_Unique[3] = 1;  // targets per adapter
  const DWORD maxTransfer = 0x10000;
  std::memcpy(&srb.HA_Unique[4], &maxTransfer, sizeof maxTransfer);
  return kCompleted;
}

BYTE GetDeviceType(SrbGetDeviceType& srb) {
  if (srb.header.SRB_HaId >= adapterCount) return kInvalidHostAdapter;
  if (srb.SRB_Target != 0 || srb.SRB_Lun != 0) return kNoDevice;
  srb.SRB_DeviceType = kCdRomDevice;
  return kCompleted;
}

// Queues a request for the worker; its status stays "pending" until then.
BYTE Queue(SrbExecScsiCmd& srb) {
  if (srb.header.SRB_HaId >= adapterCount) return kInvalidHostAdapter;
  if (srb.SRB_Target != 0 || srb.SRB_Lun != 0) return kNoDevice;
  if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > sizeof srb.CDBByte || (srb.SRB_BufLen > 0 && srb.SRB_BufPointer == nullptr) ||
      (srb.header.SRB_Flags & (kDirIn | kDirOut)) == (kDirIn | kDirOut)) {
    return kInvalidRequest;
  }
  if (worker == nullptr || detaching) return kError;
  srb.SRB_HaStat = 0;
  srb.SRB_TargStat = 0;
  std::memset(srb.SenseArea, 0, sizeof srb.SenseArea);
  srb.header.SRB_Status = kPending;
  queue.push_back(&srb);
  SetEvent(wake);
  return kPending;
}

// Takes a request out of the queue and completes it as aborted; one that the
// worker has taken already runs to its end.
BYTE Abort(SrbAbort& srb) {
  auto* target = static_cast<SrbExecScsiCmd*>(srb.SRB_ToAbort);
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (*it != target) continue;
    queue.erase(it);
    target->header.SRB_Status = kAborted;
    if ((target->header.SRB_Flags & kEventNotify) != 0 && target->SRB_PostProc != nullptr) {
      SetEvent(static_cast<HANDLE>(target->SRB_PostProc));
    }
    return kCompleted;
  }
  return kAbortFailed;
}

}  // namespace

extern "C" DWORD __cdecl GetASPI32SupportInfo() {
  EnterCriticalSection(&lock);
  Start();
  const DWORD count = static_cast<DWORD>(adapterCount);
  LeaveCriticalSection(&lock);
  return count == 0 ? DWORD{kNoAdapters} << 8 : (DWORD{kCompleted} << 8) | count;
}

extern "C" DWORD __cdecl SendASPI32Command(void* request) {
  if (request == nullptr) return kInvalidRequest;
  auto& header = *static_cast<SrbHeader*>(request);
  EnterCriticalSection(&lock);
  Start();
  BYTE status = kInvalidCommand;
  switch (header.SRB_Cmd) {
    case kHaInquiry:
      status = HaInquiry(*static_cast<SrbHaInquiry*>(request));
      break;
    case kGetDeviceType:
      status = GetDeviceType(*static_cast<SrbGetDeviceType*>(request));
      break;
    case kExecScsiCommand:
      status = Queue(*static_cast<SrbExecScsiCmd*>(request));
      break;
    case kAbortRequest:
      status = Abort(*static_cast<SrbAbort*>(request));
      break;
    default:
      break;
  }
  if (status != kPending) header.SRB_Status = status;
  LeaveCriticalSection(&lock);
  return status;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    InitializeCriticalSection(&lock);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && started) {
    // Released by FreeLibrary: queued requests never complete; the one on
    // the drive completes before the library goes (its caller still holds
    // it), then the worker, parked in its wait, is ended.
    EnterCriticalSection(&lock);
    detaching = true;
    queue.clear();
    const bool wasBusy = busy;
    LeaveCriticalSection(&lock);
    if (wasBusy) WaitForSingleObject(idle, INFINITE);
    if (worker != nullptr) {
      TerminateThread(worker, 0);
      CloseHandle(worker);
    }
    for (int i = 0; i < adapterCount; ++i) {
      if (adapters[i].device != INVALID_HANDLE_VALUE) CloseHandle(adapters[i].device);
    }
    CloseHandle(wake);
    CloseHandle(idle);
    DeleteCriticalSection(&lock);
  }
  return TRUE;
}
