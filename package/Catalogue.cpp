// PLACEHOLDER: replaced by the model catalogue.
#include "app/FlashFormCore.h"

void FlashFormCore::BuilderSetup() {
  FileListSetVisible(true);
  SetSelectDriveLabel("Select Model: ");
  SetFlashButtonCaption("Build");
  SetFlashButtonEnabled(false);
}
void FlashFormCore::BuilderComboBoxChange() {}
bool FlashFormCore::RetriveINI() { return false; }
void FlashFormCore::FileListBox1Click() {
  BINFileName = FileListSelectedName();
  SetFlashButtonEnabled(true);
}
