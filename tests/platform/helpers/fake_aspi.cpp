// A stand-in for WNASPI32.DLL for the tests of the ASPI path's time-out
// rule: it reports one host adapter, completes INQUIRY (0x12) at once with
// "FAKE" in its data, and leaves READ BUFFER (0x3C) pending, completing it
// 300 ms later from a thread of its own by filling the request's buffer with
// 0xEE and signalling the request's event. WRITE BUFFER (0x3B) completes in
// two steps, as a library may: its status says completed 100 ms later, and
// its event is signalled only once the next request has arrived (after the
// caller made that request's event). TEST UNIT READY (0x00) ends at once
// with CHECK CONDITION and descriptor-format sense: not ready, becoming
// ready (02/04/01).
//
// The test opcode 0xC0 completes in the order and at the times its command
// block gives: byte 1 when its status says completed, byte 2 when its event
// is signalled, each 0 for within SendASPI32Command, N for N x 10 ms after
// it, kAfterNext for once the next request has arrived (after the caller
// made that request's event) and kNever for not at all. Its data (0xEE) is
// in the buffer before either. The library tells how many of these
// requests' events the caller still has open (FakeAspiEventsOpen) and how
// many signals came after the caller had closed the event
// (FakeAspiLostSignals).
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <vector>

namespace {

#pragma pack(push, 1)
struct Srb {
  BYTE cmd, status, haId, flags;
  DWORD reserved;
  BYTE target, lun;
  WORD reserved1;
  DWORD bufLen;
  BYTE* buffer;
  BYTE senseLen, cdbLen, haStat, targStat;
  void* postProc;
  void* reserved2;
  BYTE reserved3[16];
  BYTE cdb[16];
  BYTE sense[16];
};
#pragma pack(pop)

DWORD WINAPI CompleteLater(void* parameter) {
  // The thread holds the library loaded until it has left the library's
  // code: the caller may release the library as soon as the event is set.
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CompleteLater), &self);
  auto* srb = static_cast<Srb*>(parameter);
  Sleep(300);
  if (srb->buffer != nullptr) std::memset(srb->buffer, 0xEE, srb->bufLen);
  srb->status = 1;
  SetEvent(static_cast<HANDLE>(srb->postProc));
  FreeLibraryAndExitThread(self, 0);
}

HANDLE nextRequest = nullptr;  // set when a request arrives

DWORD WINAPI CompleteBeforeSignalling(void* parameter) {
  auto* srb = static_cast<Srb*>(parameter);
  const HANDLE event = static_cast<HANDLE>(srb->postProc);
  Sleep(100);
  srb->status = 1;
  WaitForSingleObject(nextRequest, 5000);
  SetEvent(event);
  return 0;
}

constexpr BYTE kTimedOpcode = 0xC0;
constexpr BYTE kAfterNext = 0xFF;
constexpr BYTE kNever = 0xFE;

// The events of the 0xC0 requests, each through a handle of the library's
// own, which keeps the event itself alive, so that its handle count tells
// whether the caller still has its handle open.
CRITICAL_SECTION eventsLock;
std::vector<HANDLE> events;
LONG lostSignals = 0;

bool CallerHasOpen(HANDLE own) {
  PUBLIC_OBJECT_BASIC_INFORMATION information{};
  ULONG length = 0;
  return NtQueryObject(own, ObjectBasicInformation, &information, sizeof information, &length) == 0 &&
         information.HandleCount > 1;
}

struct Timed {
  Srb* srb;
  HANDLE event;  // the caller's handle, as the request named it
  HANDLE own;    // the library's handle of the same event
  BYTE statusAt;
  BYTE signalAt;
};

// Signals the event through the handle the request named, as a library
// does; a signal that comes after the caller has closed it is counted (it
// is lost, or wakes whatever event got the same handle since).
void Signal(const Timed& timed) {
  if (!CallerHasOpen(timed.own)) InterlockedIncrement(&lostSignals);
  SetEvent(timed.event);
}

// The steps of a 0xC0 request that come after SendASPI32Command, in order of
// their times; a status and a signal due at the same time come in that order.
DWORD WINAPI CompleteInTime(void* parameter) {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CompleteInTime), &self);
  const Timed timed = *static_cast<Timed*>(parameter);
  delete static_cast<Timed*>(parameter);
  const DWORD start = GetTickCount();
  auto waitFor = [&](BYTE at) {
    if (at == kAfterNext) {
      WaitForSingleObject(nextRequest, 5000);
      return;
    }
    const DWORD due = DWORD{at} * 10, elapsed = GetTickCount() - start;
    if (elapsed < due) Sleep(due - elapsed);
  };
  bool statusDue = timed.statusAt != 0;
  bool signalDue = timed.signalAt != 0 && timed.signalAt != kNever;
  while (statusDue || signalDue) {
    if (statusDue && (!signalDue || timed.statusAt <= timed.signalAt)) {
      waitFor(timed.statusAt);
      *static_cast<volatile BYTE*>(&timed.srb->status) = 1;
      statusDue = false;
    } else {
      waitFor(timed.signalAt);
      Signal(timed);
      signalDue = false;
    }
  }
  FreeLibraryAndExitThread(self, 0);
}

DWORD CompleteTimed(Srb* srb) {
  Timed timed{srb, static_cast<HANDLE>(srb->postProc), nullptr, srb->cdb[1], srb->cdb[2]};
  DuplicateHandle(GetCurrentProcess(), timed.event, GetCurrentProcess(), &timed.own, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  EnterCriticalSection(&eventsLock);
  events.push_back(timed.own);
  LeaveCriticalSection(&eventsLock);
  if (srb->buffer != nullptr) std::memset(srb->buffer, 0xEE, srb->bufLen);
  if (timed.statusAt == 0) srb->status = 1;
  if (timed.signalAt == 0) Signal(timed);
  if (timed.statusAt != 0 || (timed.signalAt != 0 && timed.signalAt != kNever)) {
    CloseHandle(CreateThread(nullptr, 0, CompleteInTime, new Timed(timed), 0, nullptr));
  }
  return timed.statusAt == 0 ? 1 : 0;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() { return 0x0101; }

// Signals of 0xC0 requests that came after the caller had closed their event.
extern "C" __declspec(dllexport) LONG __cdecl FakeAspiLostSignals() { return lostSignals; }

// How many events of 0xC0 requests the caller still has open.
extern "C" __declspec(dllexport) LONG __cdecl FakeAspiEventsOpen() {
  EnterCriticalSection(&eventsLock);
  LONG open = 0;
  for (const HANDLE own : events) open += CallerHasOpen(own) ? 1 : 0;
  LeaveCriticalSection(&eventsLock);
  return open;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&eventsLock);
  return TRUE;
}

extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
  auto* srb = static_cast<Srb*>(request);
  if (nextRequest == nullptr) nextRequest = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (srb->cdb[0] == 0x3B) {
    ResetEvent(nextRequest);
    CloseHandle(CreateThread(nullptr, 0, CompleteBeforeSignalling, srb, 0, nullptr));
    return 0;
  }
  if (srb->cdb[0] == kTimedOpcode) {
    if (srb->cdb[2] == kAfterNext) {
      ResetEvent(nextRequest);
    } else {
      SetEvent(nextRequest);
    }
    return CompleteTimed(srb);
  }
  SetEvent(nextRequest);
  if (srb->cdb[0] == 0x00) {
    const BYTE descriptorSense[8] = {0x72, 0x02, 0x04, 0x01, 0, 0, 0, 0};
    std::memcpy(srb->sense, descriptorSense, sizeof descriptorSense);
    srb->targStat = 2;
    srb->status = 4;
    return 4;
  }
  if (srb->cdb[0] == 0x3C) {
    CloseHandle(CreateThread(nullptr, 0, CompleteLater, srb, 0, nullptr));
    return 0;
  }
  if (srb->buffer != nullptr && srb->bufLen >= 4) std::memcpy(srb->buffer, "FAKE", 4);
  srb->status = 1;
  return 1;
}
