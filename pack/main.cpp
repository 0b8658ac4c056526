// flashutil-pack: builds flash programs from a builder, a model catalogue and
// BIN files without the window, and tells what a program file carries.
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "package/Package.h"
#include "pack/PackCommands.h"

namespace {

// The key-word of this build's programs, with its terminating zero.
constexpr char kKeyWord[] = FLASHUTIL_KEYWORD;
static_assert(sizeof kKeyWord == package::kKeyWordSize, "the key-word has 14 characters");

const char* const kUsage =
    "Usage: flashutil-pack show PROGRAM\n"
    "       flashutil-pack build --builder PROGRAM --catalogue FILE.INI --model NAME|INDEX\n"
    "                            --bin FILE.BIN [--output-dir DIR]\n"
    "       flashutil-pack verify PROGRAM FILE.BIN\n"
    "       flashutil-pack --help | --version\n"
    "\n"
    "Commands:\n"
    "  show     Print what a builder or flash program carries: kind, every identity\n"
    "           field, version, image length and the image's SHA-256.\n"
    "  build    Write a flash program exactly as the builder's window does for the same\n"
    "           model and BIN file: named after the BIN file's first four characters\n"
    "           with .EXE, in DIR (default: the working directory). The model is its\n"
    "           Model value or its index in the catalogue (0 for MODEL00). The new file\n"
    "           replaces one of the same name only once it is complete. Prints the\n"
    "           path of the new program.\n"
    "  verify   Tell whether a flash program carries exactly the image in FILE.BIN.\n"
    "\n"
    "Options:\n"
    "  --builder PROGRAM     the builder whose copy becomes the flash program\n"
    "  --catalogue FILE.INI  the model catalogue (sections MODEL00 to MODEL99)\n"
    "  --model NAME|INDEX    the catalogue entry\n"
    "  --bin FILE.BIN        the firmware image; its name must match the model's BINMask\n"
    "  --output-dir DIR      where the flash program is written\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n"
    "Options take their value as the next argument or after '='; '--' ends the options.\n"
    "\n"
    "Exit status: 0 success (verify: the program carries the image); 1 failure or\n"
    "refusal (verify: it does not); 2 wrong usage (verify: a file cannot be read).\n"
    "Errors are printed on standard error, one line each.\n";

int Usage(const std::string& problem) {
  std::cerr << "flashutil-pack: " << problem << "; see flashutil-pack --help\n";
  return pack::kTrouble;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
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
    return commands.Show(operands[0]);
  }
  if (command == "verify") {
    if (operands.size() != 2) return Usage("verify takes a PROGRAM and a FILE.BIN");
    return commands.Verify(operands[0], operands[1]);
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
