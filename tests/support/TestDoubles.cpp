#include "tests/support/TestDoubles.h"

#include "drive/CDDrive.h"

namespace testing_support {

platform::BoxAnswer ScriptedBoxes::Show(platform::BoxKind kind, const std::string& caption,
                                        const std::string& text, platform::BoxButtons buttons) {
  shown.push_back({kind, caption, text, buttons});
  if (onShow) onShow();
  if (buttons == platform::BoxButtons::Ok) return platform::BoxAnswer::Ok;
  if (script_.empty()) return platform::BoxAnswer::No;
  platform::BoxAnswer answer = script_.front();
  script_.pop_front();
  return answer;
}

std::vector<std::string> ScriptedBoxes::Texts() const {
  std::vector<std::string> texts;
  for (const ShownBox& box : shown) texts.push_back(box.text);
  return texts;
}

bool FakeInhibitor::Acquire(const std::string& who_, const std::string& why_) {
  if (!available) return false;
  held = true;
  ++acquired;
  who = who_;
  why = why_;
  return true;
}

void FakeInhibitor::Release() {
  if (!held) return;
  held = false;
  ++released;
}

ServicesScope::ServicesScope() {
  CDDrive::ResetClassState();
  platform::Services& services = platform::GetServices();
  services.boxes = &boxes;
  services.clock = &clock;
  services.cursor = &cursor;
  services.restart = &restart;
  services.inhibitor = &inhibitor;
}

ServicesScope::~ServicesScope() {
  platform::GetServices() = platform::Services{};
  CDDrive::ResetClassState();
}

}  // namespace testing_support
