#include "platform/Text.h"

#include <cstdio>

namespace platform {

std::string FormatText(const char* format, const std::string& text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, text.c_str());
  return buffer;
}

}  // namespace platform
