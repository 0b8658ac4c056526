#include "platform/Transport.h"

#include "platform/CommandLibrary.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::string DeviceInfo::Name() const {
  if (!node.empty()) return node;
  return std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
         std::to_string(lun);
}

std::string DriveTransport::NodeGroup(const std::string&) const { return {}; }

std::string DriveTransport::ErrorText(int sysError) const { return std::strerror(sysError); }

std::string DriveTransport::OpenRemedy(int) const { return {}; }

int AspiLibrary::SystemError() const { return errno; }

std::string AspiLibrary::ErrorText(int code) const { return std::strerror(code); }

}  // namespace platform
