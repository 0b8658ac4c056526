// Helpers of the fuzz targets: a broken invariant stops the run like a crash,
// and the fuzz targets' form is the headless test form with a file list that
// matches its mask against a fixed set of names instead of reading a directory,
// so that every run is fast and does not depend on the disk.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/TestForm.h"

namespace fuzzing {

// Stops the run with a message: a broken invariant is a finding like a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

class FuzzForm : public testing_support::TestForm {
 public:
  explicit FuzzForm(const uint8_t* package) : TestForm(package) {
    programFile = "/nonexistent/flashutil";
    currentDirectory = "/nonexistent";
    fixedFileNames = {"Q150.BIN", "q150.bin", "K300.BIN", "S150.BIN", "ABCD1234.BIN",
                      "A.B",      "README",   ".BIN",     "x;y.bin",  "*"};
  }
};

}  // namespace fuzzing
