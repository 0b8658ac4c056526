// PLACEHOLDER: replaced by the builder.
#include "app/FlashFormCore.h"

void FlashFormCore::NewBuildFlashProgram() {}
