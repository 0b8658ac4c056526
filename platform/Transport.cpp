#include "platform/Transport.h"

namespace platform {

std::string DeviceInfo::Name() const {
  if (!node.empty()) return node;
  return std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
         std::to_string(lun);
}

}  // namespace platform
