// PLACEHOLDER: replaced by the vendor command set.
#include "app/FlashFormCore.h"

bool FlashFormCore::WriteE2(const uint8_t*, uint16_t, uint8_t) { return false; }
bool FlashFormCore::WriteBuffer(uint32_t, const uint8_t*, uint8_t, uint32_t) { return false; }
bool FlashFormCore::ReadBuffer(uint32_t, uint8_t*, uint32_t) { return false; }
bool FlashFormCore::EntryCritical() { return false; }
bool FlashFormCore::CheckDisc() { return false; }
void FlashFormCore::ReportCommandFailure(const std::string&) {}
bool FlashFormCore::SendVendorCommand(uint8_t, uint32_t) { return false; }
