// What the window programs (the builder and every flash program) do with
// their command line: with no argument they open their window; --help and
// --version print what they are on standard output and end, with no window
// and no display needed; anything else is refused with a line of usage on
// standard error. The window itself reads no argument.
#pragma once

#include <string>
#include <vector>

#include "package/Package.h"

namespace app {

struct ArgumentsOutcome {
  bool openWindow = false;  // no argument: the program runs as ever
  int status = 0;           // otherwise the exit status: 0 after --help or --version, 2 refused
  std::string out;          // for standard output
  std::string err;          // for standard error
};

// `arguments` without the program's own name; `programPath` is how it was
// started (argv[0]); `package` is the program's own; `version` its version;
// `simulated`: it reaches simulated drives, and says so.
ArgumentsOutcome ReadArguments(const std::vector<std::string>& arguments, const std::string& programPath,
                               const package::PackageView& package, const std::string& version, bool simulated);

}  // namespace app
