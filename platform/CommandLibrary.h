// The command library path: a library loaded at run time that addresses the
// drives by host adapter and target and completes each request by signalling
// an event (the ASPI library of the system this program was first written
// for). The Windows back-end loads the real library (platform/win), the
// simulated one stands in for it; a system that has none reaches its drives
// through the pass-through path alone.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// SRB status codes.
constexpr uint8_t kSrbPending = 0x00;
constexpr uint8_t kSrbCompleted = 0x01;
constexpr uint8_t kSrbAborted = 0x02;
constexpr uint8_t kSrbError = 0x04;

constexpr uint8_t kSrbDirIn = 0x08;
constexpr uint8_t kSrbDirOut = 0x10;
constexpr uint8_t kSrbEventNotify = 0x40;

// An execute-command request of the library: header, command block and sense area.
struct AspiRequest {
  uint8_t command = 0;  // 2 = execute SCSI command
  uint8_t status = kSrbPending;
  uint8_t hostAdapter = 0;
  uint8_t flags = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  uint32_t bufferLength = 0;
  uint8_t* buffer = nullptr;
  uint8_t senseLength = 0;
  uint8_t cdbLength = 0;
  uint8_t hostStatus = 0;
  uint8_t targetStatus = 0;
  std::array<uint8_t, 16> cdb{};
  std::array<uint8_t, 16> senseArea{};
};

// A loaded library.
class AspiLibrary {
 public:
  virtual ~AspiLibrary() = default;
  // Whether the library exports the named entry point.
  virtual bool HasEntry(const std::string& name) = 0;
  // Status in bits 8 to 15, number of host adapters in bits 0 to 7.
  virtual uint32_t GetSupportInfo() = 0;
  // Submits a request. The library may complete it at once or leave it pending.
  virtual void SendCommand(AspiRequest& request) = 0;
  // Waits up to `milliseconds` for a pending request to complete: for its
  // event, and for its status, which a library may set after the signal.
  // False when its status has not arrived in that time: the request is then
  // abandoned and never completes afterwards.
  virtual bool WaitForCompletion(AspiRequest& request, uint32_t milliseconds) = 0;
  // The error code the system last recorded, and its text (empty when the
  // system has none).
  virtual int SystemError() const;
  virtual std::string ErrorText(int code) const;
};

// The system's side of the choice: whether it wants the pass-through path,
// and the library for when it does not.
class CommandLibraryPath {
 public:
  virtual ~CommandLibraryPath() = default;
  // True when the system reaches its drives through pass-through; asked only
  // while no drive is open.
  virtual bool UsesPassThrough() = 0;
  // Loads the library; null when loading failed.
  virtual std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string& name) = 0;
};

}  // namespace platform
