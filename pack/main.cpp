// flashutil-pack: builds flash programs from a builder, a model catalogue and
// BIN files without the window, and tells what a program file carries.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "package/Package.h"
#include "pack/PackCommands.h"
#include "platform/Text.h"

namespace {

// The key-word of this build's programs, with its terminating zero.
constexpr char kKeyWord[] = FLASHUTIL_KEYWORD;
static_assert(sizeof kKeyWord == package::kKeyWordSize, "the key-word has 14 characters");

const char* const kUsage =
    "Usage: flashutil-pack show [--json] PROGRAM\n"
    "       flashutil-pack build --builder PROGRAM --catalogue FILE.INI --model NAME|INDEX\n"
    "                            --bin FILE.BIN [--output-dir DIR] [--force]\n"
    "       flashutil-pack verify [--json] PROGRAM FILE.BIN\n"
    "       flashutil-pack models FILE.INI\n"
    "       flashutil-pack --help | --version\n"
    "\n"
    "Commands:\n"
    "  show     Print what a builder or flash program carries: kind, every identity\n"
    "           field, version, image length and the image's SHA-256.\n"
    "  build    Write a flash program exactly as the builder's window does for the same\n"
    "           model and BIN file: named after the BIN file's first four characters\n"
    "           with .EXE, in DIR (default: the working directory). The model is its\n"
    "           Model value or its index in the catalogue (0 for MODEL00). A file of\n"
    "           the same name is replaced only with --force, and only once the new one\n"
    "           is complete. Prints the path of the new program.\n"
    "  verify   Tell whether a flash program carries exactly the image in FILE.BIN.\n"
    "  models   List the catalogue's models as the builder's window lists them, each\n"
    "           after the index that --model takes.\n"
    "\n"
    "Options:\n"
    "  --builder PROGRAM     the builder whose copy becomes the flash program\n"
    "  --catalogue FILE.INI  the model catalogue (sections MODEL00 to MODEL99)\n"
    "  --model NAME|INDEX    the catalogue entry\n"
    "  --bin FILE.BIN        the firmware image; its name must match the model's BINMask\n"
    "  --output-dir DIR      where the flash program is written\n"
    "  --force               replace an existing file of the flash program's name\n"
    "  --json                show, verify: one JSON object on one line (bytes of names\n"
    "                        that are not UTF-8 as \\u00XX)\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n"
    "Options take their value as the next argument or after '='; '--' ends the options.\n"
    "\n"
    "Exit status: 0 success (verify: the program carries the image); 1 failure or\n"
    "refusal (verify: it does not); 2 wrong usage (verify: a file cannot be read),\n"
    "or standard output could not be written. Errors are printed on standard\n"
    "error, one line each.\n";

int Usage(const std::string& problem) {
  std::cerr << "flashutil-pack: " << platform::PrintableText(problem) << "; see flashutil-pack --help\n";
  return pack::kTrouble;
}

int Run(const std::vector<std::string>& args);

// What the command printed must have reached standard output whole: a full
// disk or a closed pipe (with SIGPIPE ignored) is an error, reported on
// standard error, that overrides the command's own status.
int FinishOutput(int status) {
  errno = 0;
  std::cout.flush();  // flushes stdout, which it writes through
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout;
  if (!failed) return status;
  const int error = errno;
  std::cerr << "flashutil-pack: can't write standard output" << (error != 0 ? ": " : "")
            << (error != 0 ? std::strerror(error) : "") << '\n';
  return pack::kTrouble;
}

}  // namespace

int main(int argc, char** argv) { return FinishOutput(Run(std::vector<std::string>(argv + 1, argv + argc))); }

namespace {

int Run(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return pack::kSuccess;
    }
    if (arg == "--version") {
      std::cout << "flashutil-pack " FLASHUTIL_VERSION "\n";
      return pack::kSuccess;
    }
  }
  if (args.empty()) return Usage("no command given");

  // The command, then its options and operands in any order.
  const std::string command = args[0];
  const std::map<std::string, std::string pack::BuildOptions::*> buildOptions = {
      {"--builder", &pack::BuildOptions::builder},   {"--catalogue", &pack::BuildOptions::catalogue},
      {"--model", &pack::BuildOptions::model},       {"--bin", &pack::BuildOptions::bin},
      {"--output-dir", &pack::BuildOptions::outputDirectory}};
  // Options without a value, and the commands that take them.
  const std::map<std::string, std::string> flags = {{"--force", "build"}, {"--json", "show verify"}};
  bool json = false;
  pack::BuildOptions options;
  std::map<std::string, bool> given;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (const auto flag = flags.find(arg); flag != flags.end() && (" " + flag->second + " ").find(" " + command + " ") != std::string::npos) {
      if (given[arg]) return Usage(arg + " given twice");
      given[arg] = true;
      (arg == "--force" ? options.force : json) = true;
      continue;
    }
    const auto option = buildOptions.find(name);
    if (command != "build" || option == buildOptions.end()) return Usage("unknown option " + name + " for " + command);
    if (given[name]) return Usage(name + " given twice");
    given[name] = true;
    if (equals != std::string::npos) {
      options.*(option->second) = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      options.*(option->second) = args[++i];
    } else {
      return Usage(name + " needs a value");
    }
  }

  pack::PackCommands commands(reinterpret_cast<const uint8_t*>(kKeyWord), std::cout, std::cerr);
  if (command == "show") {
    if (operands.size() != 1) return Usage("show takes one PROGRAM");
    return commands.Show(operands[0], json);
  }
  if (command == "verify") {
    if (operands.size() != 2) return Usage("verify takes a PROGRAM and a FILE.BIN");
    return commands.Verify(operands[0], operands[1], json);
  }
  if (command == "models") {
    if (operands.size() != 1) return Usage("models takes one FILE.INI");
    return commands.Models(operands[0]);
  }
  if (command == "build") {
    if (!operands.empty()) return Usage("build takes no operand " + operands[0]);
    for (const char* required : {"--builder", "--catalogue", "--model", "--bin"}) {
      if (!given[required] || (options.*(buildOptions.at(required))).empty()) {
        return Usage(std::string("build needs ") + required);
      }
    }
    return commands.Build(options);
  }
  return Usage("unknown command " + command);
}

}  // namespace
