// PLACEHOLDER: replaced by the logind binding.
#include "platform/qt/Logind.h"

namespace platform {

void LogindRestart::RequestReboot() {}
LogindInhibitor::~LogindInhibitor() { Release(); }
bool LogindInhibitor::Acquire(const std::string&, const std::string&) { return false; }
void LogindInhibitor::Release() {}

}  // namespace platform
