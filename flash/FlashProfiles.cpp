// PLACEHOLDER: replaced by the flash profiles.
#include "app/FlashFormCore.h"

bool FlashFormCore::SetupFlashProfile(uint8_t*) { return false; }
bool FlashFormCore::ReadVerifyProfile(const uint8_t*) { return false; }
