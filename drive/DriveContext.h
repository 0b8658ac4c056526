// What the drives of one flash share: the access method, the loaded command
// library, the count of open drives, the command time-out, the data buffer,
// the transport, and the platform services through which they report. The
// window's drives share the class-wide context (ClassDriveContext()), as
// every drive did before flashes could run side by side; a flash that runs
// beside others has a context of its own, so that no flash sees another's
// time-out, data buffer, error reporting, boxes or transcript.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CommandLibrary.h"
#include "platform/Services.h"
#include "platform/Transport.h"

struct DriveContext {
  static constexpr uint32_t kDefaultBufferSize = 2352;
  static constexpr uint32_t kInquiryDataSize = 256;
  static constexpr uint8_t kOpenFailed = 'c';

  bool NtMode = false;
  bool ReportErrors = false;
  bool UseInquiryBuffer = false;
  uint16_t OpenCount = 0;
  uint16_t TimeOut = 60;
  uint8_t OpenResult = kOpenFailed;
  // Shared with the contexts that took their access from this one: a loaded
  // library stays loaded while any of them uses it.
  std::shared_ptr<platform::AspiLibrary> AspiLibrary;
  std::string MessageText;
  bool AspiCommandEntry = false;  // SendASPI32Command was found
  uint8_t* DataBuffer = nullptr;
  uint32_t DataLength = 0;
  // Aligned as pass-through drivers want a data buffer to be.
  alignas(16) std::array<uint8_t, kInquiryDataSize> InquiryData{};
  alignas(16) std::array<uint8_t, kDefaultBufferSize> DefaultBuffer{};
  // The pass-through transport and the system's command library path (none:
  // the pass-through path is always taken).
  platform::DriveTransport* Transport = nullptr;
  platform::CommandLibraryPath* LibraryPath = nullptr;
  // The message boxes, clock, stop requests and transcript of the drives'
  // commands and of the flash that runs on them.
  platform::ServiceContext* Services = &platform::DefaultServiceContext();

  void SetTimeOut(uint16_t seconds) { TimeOut = seconds; }
  // With a buffer, makes it the data buffer; without one (null), the
  // context's default buffer of kDefaultBufferSize bytes.
  void SetDataBuffer(uint8_t* buffer, uint32_t length);
  // The access method the next construction works with: the one in force
  // while a drive is open, otherwise the system's choice, asked afresh.
  bool NextUsesPassThrough() const;
  bool IsSimulated() const { return Transport != nullptr && Transport->IsSimulated(); }
  platform::ServiceContext& Platform() const { return *Services; }

  // Makes this the context of one flash of a drive that `list` found: the
  // same transport, command library, access method and error reporting, and
  // a time-out, data buffer and services of its own (the default buffer
  // until the flash installs its own).
  void TakeAccessFrom(const DriveContext& list);
  // Back to the values at program start, transport and library included.
  void Reset();
};

// The class-wide context: the window's drives, and every drive made without one.
DriveContext& ClassDriveContext();
