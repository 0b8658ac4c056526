#include "package/Package.h"

extern "C" const uint8_t flashutil_embedded_package[];

namespace package {

const uint8_t* EmbeddedPackage() { return flashutil_embedded_package; }

}  // namespace package
