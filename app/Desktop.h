// What the entry point takes from the desktop it runs on: the message boxes
// and the system restart, and what happens once the window is shown. The
// binding is chosen when a program is linked: the programs link the desktop
// one (app/QtDesktop.cpp); test builds link one that prints the boxes and
// the window's state instead (tests/support/ScriptedDesktop.cpp).
#pragma once

#include <memory>

#include "platform/Services.h"
#include "platform/Transport.h"

class TFlashForm;

namespace app {

class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual platform::MessageBoxes& Boxes() = 0;
  virtual platform::SystemRestart& Restart() = 0;
  // Called once the window is shown, before the message loop runs.
  virtual void WindowShown(TFlashForm& form) = 0;
  // The transport to the drives, as the program made it; a test binding may
  // put something in front of it.
  virtual std::unique_ptr<platform::DriveTransport> Drives(std::unique_ptr<platform::DriveTransport> transport) {
    return transport;
  }
};

std::unique_ptr<Desktop> MakeDesktop();

}  // namespace app
