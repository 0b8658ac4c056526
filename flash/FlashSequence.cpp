// PLACEHOLDER: replaced by the flash sequence.
#include "app/FlashFormCore.h"

void FlashFormCore::FlashButtonClick() {
  if (BuildMode) {
    NewBuildFlashProgram();
    return;
  }
  FlashSequence();
}
void FlashFormCore::FlashSequence() {}
