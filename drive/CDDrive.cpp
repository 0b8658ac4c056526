// PLACEHOLDER: replaced by the drive-layer implementation.
#include "drive/CDDrive.h"

CDDrive::CDDrive(uint8_t DriveLetter_, uint8_t HostAdapter_, uint8_t Target_, uint8_t Lun_)
    : DriveLetter(DriveLetter_), HostAdapter(HostAdapter_), Target(Target_), Lun(Lun_) {
  OpenResult = kOpenFailed;
}
CDDrive::~CDDrive() = default;
bool CDDrive::Open() { return false; }
bool CDDrive::Identify() { return false; }
uint32_t CDDrive::SendCommand(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t,
                              uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint32_t) {
  return 0;
}
void CDDrive::ReportError() {}
std::string CDDrive::GetIdentity() { return "0"; }
std::string CDDrive::GetVendorProduct() const { return std::string(24, ' '); }
std::string CDDrive::GetRevision() const { return std::string(4, ' '); }
bool CDDrive::CheckSense(uint8_t, uint8_t, uint8_t) const { return false; }
std::string CDDrive::GetErrorText() const { return {}; }
bool CDDrive::LastCommandSucceeded() const { return false; }
void CDDrive::SetTimeOut(uint16_t Seconds) { TimeOut = Seconds; }
uint8_t CDDrive::GetOpenResult() { return OpenResult; }
void CDDrive::SetDataBuffer(uint8_t* Buffer, uint32_t Length) {
  DataBuffer = Buffer;
  DataLength = Length;
}
uint8_t* CDDrive::GetDataBuffer() { return DataBuffer; }
void CDDrive::SetTransport(platform::DriveTransport* transport) { Transport = transport; }
platform::DriveTransport* CDDrive::GetTransport() { return Transport; }
void CDDrive::ResetClassState() {}
