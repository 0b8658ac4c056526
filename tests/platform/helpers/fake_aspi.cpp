// A stand-in for WNASPI32.DLL for the tests of the ASPI path's time-out
// rule: it reports one host adapter, completes INQUIRY (0x12) at once with
// "FAKE" in its data, and leaves READ BUFFER (0x3C) pending, completing it
// 300 ms later from a thread of its own by filling the request's buffer with
// 0xEE and signalling the request's event.
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
  auto* srb = static_cast<Srb*>(parameter);
  Sleep(300);
  if (srb->buffer != nullptr) std::memset(srb->buffer, 0xEE, srb->bufLen);
  srb->status = 1;
  SetEvent(static_cast<HANDLE>(srb->postProc));
  return 0;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() { return 0x0101; }

extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
  auto* srb = static_cast<Srb*>(request);
  if (srb->cdb[0] == 0x3C) {
    CloseHandle(CreateThread(nullptr, 0, CompleteLater, srb, 0, nullptr));
    return 0;
  }
  if (srb->buffer != nullptr && srb->bufLen >= 4) std::memcpy(srb->buffer, "FAKE", 4);
  srb->status = 1;
  return 1;
}
