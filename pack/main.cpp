// flashutil-pack: builds flash programs from a builder, a model catalogue and
// BIN files without the window, and tells what a program file carries; lists
// the optical drives and flashes a flash program's image with the window's
// own code. Built with FLASHUTIL_TRANSPORT_SIM (flashutil-pack-sim, a test
// program) it reaches the simulated drives instead of the system's.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "package/Package.h"
#include "pack/DriveCommands.h"
#include "pack/FleetFlash.h"
#include "pack/PackCommands.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"

#if defined(FLASHUTIL_TRANSPORT_SIM)
#include "pack/SimulatedDrives.h"
#else
#include <QCoreApplication>
#include <clocale>

#include "platform/linux/SgTransport.h"
#include "platform/qt/Logind.h"
#endif

namespace {

// The key-word of this build's programs, with its terminating zero.
constexpr char kKeyWord[] = FLASHUTIL_KEYWORD;
static_assert(sizeof kKeyWord == package::kKeyWordSize, "the key-word has 14 characters");

const char* const kUsage =
    "Usage: flashutil-pack show [--json] PROGRAM\n"
    "       flashutil-pack build --builder PROGRAM --catalogue FILE.INI --model NAME|INDEX\n"
    "                            --bin FILE.BIN [--output-dir DIR] [--force] [--json]\n"
    "       flashutil-pack verify [--json] PROGRAM FILE.BIN\n"
    "       flashutil-pack models FILE.INI\n"
    "       flashutil-pack drives [--json] [PROGRAM]\n"
    "       flashutil-pack flash PROGRAM [--drive NODE | --all [--parallel N]] [--yes]\n"
    "                            [--allow-downgrade] [--reflash] [--check] [--json]\n"
    "       flashutil-pack replay TRANSCRIPT PROGRAM\n"
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
    "           is complete. Prints the path of the new program (as its bytes stand,\n"
    "           escaped only on a terminal).\n"
    "  verify   Tell whether a flash program carries exactly the image in FILE.BIN.\n"
    "  models   List the catalogue's models as the builder's window lists them, each\n"
    "           after the index that --model takes.\n"
    "  drives   List the optical drives (node, SCSI address, vendor, product,\n"
    "           revision); with a flash program, whether its image fits each one\n"
    "           and why not.\n"
    "  flash    Flash the image a flash program carries into the drive that fits it,\n"
    "           with the checks, questions and texts of the program's window. The\n"
    "           questions are asked on the terminal (y/N). Ctrl-C, SIGTERM, SIGHUP\n"
    "           (a closed terminal) and SIGQUIT stop it until the first write to the\n"
    "           drive; from then on they are held off until the flash is over, and\n"
    "           Ctrl-Z is refused. A closed pipe or a full disk loses the output, not\n"
    "           the flash. Each flash leaves a transcript of its commands and texts,\n"
    "           named last. With --all, every drive that fits, each with its own\n"
    "           checks, question and transcript, its lines after its node, and a\n"
    "           table of what became of each at the end.\n"
    "  replay   Run the flash of a transcript again with the program it recorded,\n"
    "           the drive answering as it did then (no drive is reached), and tell\n"
    "           whether the program shows and sends the same, or the first line of\n"
    "           the transcript where it does not.\n"
    "\n"
    "Options:\n"
    "  --builder PROGRAM     the builder whose copy becomes the flash program\n"
    "  --catalogue FILE.INI  the model catalogue (sections MODEL00 to MODEL99)\n"
    "  --model NAME|INDEX    the catalogue entry\n"
    "  --bin FILE.BIN        the firmware image; its name must match the model's BINMask\n"
    "  --output-dir DIR      where the flash program is written\n"
    "  --force               replace an existing file of the flash program's name\n"
    "  --json                show, verify, drives, build, flash: one JSON object on one\n"
    "                        line (bytes of names that are not UTF-8 as \\u00XX);\n"
    "                        flash: with --yes or --check, its texts on standard error\n"
    "  --drive NODE          flash: the drive, where several fit\n"
    "  --yes                 flash: answer the questions Yes (needed without a terminal)\n"
    "  --allow-downgrade     flash, with --yes: also where the drive's firmware is\n"
    "                        newer than the image\n"
    "  --reflash             flash, with --yes: also a drive that has the image's\n"
    "                        version already (otherwise: up to date, nothing to do)\n"
    "  --all                 flash: every drive the program fits\n"
    "  --parallel N          flash --all: up to N drives at once (with --yes)\n"
    "  --check               flash: say for each drive what the flash would do, and\n"
    "                        send nothing that writes; no lock, no transcript\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n"
    "Options take their value as the next argument or after '='; '--' ends the options.\n"
    "\n"
    "Exit status: 0 success (verify: the program carries the image; flash: flashed\n"
    "or up to date, with --all every drive that fits; replay: the same as\n"
    "recorded); 1 failure or refusal (verify: it does not; replay: it differs;\n"
    "flash --all: a drive failed, the others still flashed); 2 wrong usage, or an input that cannot be used (a file\n"
    "that cannot be read, is a folder or is not what the command takes; flash: a\n"
    "question that the command line does not answer, a --drive that names no\n"
    "drive; replay: another program than the recorded one), or\n"
    "standard output could not be written (flash: its own status stands); 3 no\n"
    "drive fits (drives, flash); 128 + the signal's number: flash stopped by a\n"
    "signal before anything was written (130 Ctrl-C, 143 SIGTERM). Errors are\n"
    "printed on standard error.\n";

// A flash with --json answers with its object whatever happens, a wrong
// command line included (set before the command line is read).
bool flashJson = false;
bool flashCheck = false;

int Usage(const std::string& problem) {
  std::cerr << "flashutil-pack: " << platform::PrintableText(problem) << "; see flashutil-pack --help\n";
  if (flashJson) {
    std::cout << pack::FleetJson({}, flashCheck, false, pack::kTrouble, problem + "; see flashutil-pack --help", {});
  }
  return pack::kTrouble;
}

int Run(const std::vector<std::string>& args);

// Standard output, written with write(2) through a buffer of its own, so
// that the first error is kept with its reason (a full disk, a closed pipe:
// SIGPIPE is ignored during a flash), and what comes after it is dropped.
class OutputBuffer final : public std::streambuf {
 public:
  OutputBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }
  int FirstError() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    const char* at = pbase();
    while (error_ == 0 && at < pptr()) {
      const ssize_t written = ::write(STDOUT_FILENO, at, static_cast<size_t>(pptr() - at));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) error_ = written < 0 ? errno : EIO;
      else at += written;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0 ? 0 : -1;
  }

 private:
  char buffer_[4096];
  int error_ = 0;
};

OutputBuffer output;

// What the command printed must have reached standard output whole: a full
// disk or a closed pipe is an error, reported on standard error, that
// overrides the command's own status. Not so for a flash: its status tells
// what became of the drive, and stands; the lost output is a line of its own.
int FinishOutput(const std::string& command, int status) {
  std::cout.flush();
  const int error = output.FirstError();
  if (error == 0 && std::cout) return status;
  const std::string reason = error != 0 ? std::string(": ") + std::strerror(error) : std::string();
  if (command == "flash") {
    std::cerr << "flashutil-pack: can't write standard output" << reason
              << (status == pack::kSuccess ? "; its lines were lost, and the drive was flashed"
                                           : "; its lines were lost")
              << '\n';
    return status;
  }
  std::cerr << "flashutil-pack: can't write standard output" << reason << '\n';
  return pack::kTrouble;
}

}  // namespace

int main(int argc, char** argv) {
  std::streambuf* const standard = std::cout.rdbuf(&output);
  const std::vector<std::string> args(argv + 1, argv + argc);
  // A flash takes the signals that would end it on a thread of its own, from
  // before any other thread starts (Qt's bus connection has one).
  if (!args.empty() && args[0] == "flash") platform::WatchStopSignals(nullptr);
  const int status = FinishOutput(args.empty() ? std::string() : args[0], Run(args));
  // The buffer goes before the streams' own flush at exit: they get theirs back.
  std::cout.rdbuf(standard);
  return status;
}

namespace {

// An option: its name, the commands that take it, and whether it takes a value.
struct OptionSpec {
  const char* name;
  const char* commands;
  bool value;
};
const OptionSpec kOptions[] = {
    {"--builder", "build", true},         {"--catalogue", "build", true},
    {"--model", "build", true},           {"--bin", "build", true},
    {"--output-dir", "build", true},      {"--force", "build", false},
    {"--json", "show verify drives build flash", false}, {"--yes", "flash", false},
    {"--allow-downgrade", "flash", false}, {"--drive", "flash", true},
    {"--reflash", "flash", false},        {"--all", "flash", false},
    {"--parallel", "flash", true},        {"--check", "flash", false},
#if defined(FLASHUTIL_TRANSPORT_SIM)
    {"--simulate", "drives flash", true}, {"--drive-log", "drives flash", true},
    {"--drive-state", "drives flash", true},
#endif
};

// The command, its options (by name; those without a value as "") and its operands.
struct CommandLine {
  std::string command;
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Value(const std::string& name) const {
    const auto option = options.find(name);
    return option == options.end() ? std::string() : option->second;
  }
};

// The command, then its options and operands in any order; an option's
// value as the next argument or after '='. -1, or the status of a refusal.
int ParseCommandLine(const std::vector<std::string>& args, CommandLine& line) {
  line.command = args[0];
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& option : kOptions) {
      const bool forCommand = (" " + std::string(option.commands) + " ").find(" " + line.command + " ") != std::string::npos;
      if (name == option.name && forCommand && (option.value || equals == std::string::npos)) spec = &option;
    }
    if (spec == nullptr) return Usage("unknown option " + name + " for " + line.command);
    if (line.Has(name)) return Usage(name + " given twice");
    std::string value;
    if (spec->value) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Usage(name + " needs a value");
      }
      if (value.empty() && line.command == "flash") return Usage(name + " needs a value");
    }
    line.options[name] = value;
  }
  return -1;
}

const uint8_t* KeyWord() { return reinterpret_cast<const uint8_t*>(kKeyWord); }

int RunShow(const CommandLine& line) {
  if (line.operands.size() != 1) return Usage("show takes one PROGRAM");
  return pack::PackCommands(KeyWord(), std::cout, std::cerr).Show(line.operands[0], line.Has("--json"));
}

int RunVerify(const CommandLine& line) {
  if (line.operands.size() != 2) return Usage("verify takes a PROGRAM and a FILE.BIN");
  return pack::PackCommands(KeyWord(), std::cout, std::cerr).Verify(line.operands[0], line.operands[1], line.Has("--json"));
}

int RunModels(const CommandLine& line) {
  if (line.operands.size() != 1) return Usage("models takes one FILE.INI");
  return pack::PackCommands(KeyWord(), std::cout, std::cerr).Models(line.operands[0]);
}

int RunBuild(const CommandLine& line) {
  if (!line.operands.empty()) return Usage("build takes no operand " + line.operands[0]);
  pack::BuildOptions options;
  const std::pair<const char*, std::string pack::BuildOptions::*> values[] = {
      {"--builder", &pack::BuildOptions::builder}, {"--catalogue", &pack::BuildOptions::catalogue},
      {"--model", &pack::BuildOptions::model},     {"--bin", &pack::BuildOptions::bin},
      {"--output-dir", &pack::BuildOptions::outputDirectory}};
  for (const auto& [name, member] : values) options.*member = line.Value(name);
  for (const char* required : {"--builder", "--catalogue", "--model", "--bin"}) {
    if (line.Value(required).empty()) return Usage(std::string("build needs ") + required);
  }
  options.force = line.Has("--force");
  options.json = line.Has("--json");
  options.terminal = ::isatty(STDOUT_FILENO) == 1;
  return pack::PackCommands(KeyWord(), std::cout, std::cerr).Build(options);
}

int RunReplay(const CommandLine& line) {
  if (line.operands.size() != 2) return Usage("replay takes a TRANSCRIPT and a PROGRAM");
  // The recorded drive only: the replay never makes the transport to the drives.
  pack::DriveCommands replay(KeyWord(), nullptr, std::cout, std::cerr);
  return replay.Replay(line.operands[0], line.operands[1], ::isatty(STDOUT_FILENO) == 1);
}

// The transport to the system's drives; flashutil-pack-sim's simulated ones.
int MakeTransportMaker(const CommandLine& line, pack::TransportMaker& maker) {
#if defined(FLASHUTIL_TRANSPORT_SIM)
  const std::string problem = pack::MakeSimulatedDrives(line.Value("--simulate"), line.Value("--drive-log"),
                                                        line.Value("--drive-state"), maker);
  return problem.empty() ? -1 : Usage(problem);
#else
  (void)line;
  maker = [](const std::string&) { return platform::linux_sg::MakeSgTransport(); };
  return -1;
#endif
}

int RunDrives(const CommandLine& line) {
  if (line.operands.size() > 1) return Usage("drives takes at most one PROGRAM");
  pack::TransportMaker maker;
  if (const int refused = MakeTransportMaker(line, maker); refused >= 0) return refused;
  pack::DriveCommands drives(KeyWord(), maker, std::cout, std::cerr);
  return drives.Drives(line.operands.empty() ? std::string() : line.operands[0], line.Has("--json"));
}

// The options of a flash that take a count or go with others.
int ReadFlashOptions(const CommandLine& line, pack::FlashOptions& options) {
  options.drive = line.Value("--drive");
  options.all = line.Has("--all");
  options.check = line.Has("--check");
  options.json = line.Has("--json");
  options.answers.yes = line.Has("--yes");
  options.answers.allowDowngrade = line.Has("--allow-downgrade");
  options.answers.reflash = line.Has("--reflash");
  options.answers.check = options.check;
  options.answers.interactive = ::isatty(STDIN_FILENO) == 1;
  options.progressBar = ::isatty(STDOUT_FILENO) == 1;
  const bool answered = options.answers.yes || options.check;
  if (options.answers.allowDowngrade && !answered) return Usage("--allow-downgrade goes with --yes");
  if (options.answers.reflash && !answered) return Usage("--reflash goes with --yes");
  if (options.json && !answered) return Usage("--json goes with --yes or --check");
  if (options.all && !options.drive.empty()) return Usage("--all and --drive exclude each other");
  if (line.Has("--parallel")) {
    const std::string count = line.Value("--parallel");
    const bool number = !count.empty() && count.size() <= 3 && count.find_first_not_of("0123456789") == std::string::npos;
    options.parallel = number ? std::stoi(count) : 0;
    if (options.parallel < 1) return Usage("--parallel takes a number of drives from 1 on");
    if (!options.all) return Usage("--parallel goes with --all");
    if (!answered) return Usage("--parallel goes with --yes: the drives' questions cannot all be asked at once");
  }
  return -1;
}

int RunFlash(const CommandLine& line) {
  if (line.operands.size() != 1) return Usage("flash takes one PROGRAM");
  pack::TransportMaker maker;
  if (const int refused = MakeTransportMaker(line, maker); refused >= 0) return refused;
  pack::FlashOptions options;
  if (const int refused = ReadFlashOptions(line, options); refused >= 0) return refused;
  platform::FolderTranscriptStore transcripts;
  options.transcripts = &transcripts;
#if !defined(FLASHUTIL_TRANSPORT_SIM)
  // A flash of a real drive holds logind's sleep/shutdown lock while it
  // writes, as the window does; where logind cannot be reached it goes on
  // without. Qt's bus connection wants an application object; the
  // program's own texts stay in the C locale it started with.
  int count = 1;
  char name[] = "flashutil-pack";
  char* names[] = {name, nullptr};
  QCoreApplication application(count, names);
  std::setlocale(LC_ALL, "C");
  platform::LogindInhibitor inhibitor;
  options.inhibitor = &inhibitor;
#endif
  pack::DriveCommands drives(KeyWord(), maker, std::cout, std::cerr);
  return drives.Flash(line.operands[0], options);
}

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
  if (args[0] == "flash") {
    const auto end = std::find(args.begin(), args.end(), "--");
    flashJson = std::find(args.begin(), end, "--json") != end;
    flashCheck = std::find(args.begin(), end, "--check") != end;
  }
  CommandLine line;
  if (const int refused = ParseCommandLine(args, line); refused >= 0) return refused;
  const std::map<std::string, int (*)(const CommandLine&)> commands = {
      {"show", RunShow},     {"verify", RunVerify}, {"models", RunModels}, {"build", RunBuild},
      {"replay", RunReplay}, {"drives", RunDrives}, {"flash", RunFlash}};
  const auto command = commands.find(line.command);
  if (command == commands.end()) return Usage("unknown command " + line.command);
  return command->second(line);
}

}  // namespace
