#include "package/Package.h"

// Defined in assembler (EmbeddedPackage.S.in) under this very name; the
// label keeps the name as it is where C names get a leading underscore
// (32-bit Windows).
extern "C" const uint8_t flashutil_embedded_package[] __asm__("flashutil_embedded_package");

namespace package {

const uint8_t* EmbeddedPackage() { return flashutil_embedded_package; }

}  // namespace package
