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
#include <windows.h>

#include <cstring>

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

}  // namespace

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() { return 0x0101; }

extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
  auto* srb = static_cast<Srb*>(request);
  if (nextRequest == nullptr) nextRequest = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (srb->cdb[0] == 0x3B) {
    ResetEvent(nextRequest);
    CloseHandle(CreateThread(nullptr, 0, CompleteBeforeSignalling, srb, 0, nullptr));
    return 0;
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
