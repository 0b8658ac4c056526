#include "pack/PackCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <utility>
#include <vector>

#include "package/Builder.h"
#include "package/Catalogue.h"
#include "package/ProgramFile.h"
#include "platform/FileMask.h"
#include "platform/Files.h"
#include "platform/FormView.h"
#include "platform/Services.h"
#include "platform/Sha256.h"
#include "platform/Text.h"

namespace pack {

namespace {

constexpr const char* kName = "flashutil-pack: ";

std::string BaseName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// The build's message boxes: each error is printed as one line.
class ErrorLines final : public platform::MessageBoxes {
 public:
  explicit ErrorLines(std::ostream& err) : err_(err) {}
  platform::BoxAnswer Show(platform::BoxKind, const std::string&, const std::string& text,
                           platform::BoxButtons buttons) override {
    err_ << kName << platform::PrintableText(OneLine(text)) << '\n';
    return buttons == platform::BoxButtons::YesNo ? platform::BoxAnswer::No : platform::BoxAnswer::Ok;
  }

 private:
  std::ostream& err_;
};

// A build without a window: the status line is kept, the progress dropped.
class NoProgress final : public platform::ProgressView {
 public:
  void SetStatus(const std::string& text) override { status_ = text; }
  std::string GetStatus() const override { return status_; }
  void ProgressSetRange(int, int) override {}
  void ProgressSetPosition(int) override {}
  void ProgressSetStep(int) override {}
  void ProgressStepBy(int) override {}

 private:
  std::string status_;
};

// Installs the error lines as the message boxes for one build.
class BoxesScope {
 public:
  explicit BoxesScope(platform::MessageBoxes& boxes) : saved_(platform::GetServices().boxes) {
    platform::GetServices().boxes = &boxes;
  }
  ~BoxesScope() { platform::GetServices().boxes = saved_; }
  BoxesScope(const BoxesScope&) = delete;
  BoxesScope& operator=(const BoxesScope&) = delete;

 private:
  platform::MessageBoxes* saved_;
};

// The same as a JSON value.
const char* DriveAccessKey(package::DriveAccess access) {
  switch (access) {
    case package::DriveAccess::System:
      return "system";
    case package::DriveAccess::Simulated:
      return "simulated";
    case package::DriveAccess::Unknown:
      break;
  }
  return "unknown";
}

const char* DriveAccessText(package::DriveAccess access) {
  switch (access) {
    case package::DriveAccess::System:
      return "the system's optical drives";
    case package::DriveAccess::Simulated:
      return "simulated (drives that do not exist; it flashes no real drive)";
    case package::DriveAccess::Unknown:
      break;
  }
  return "unknown (the file names none)";
}

// The refusal of a path that is a directory where a file is wanted; empty
// when it is none.
std::string DirectoryRefusal(const std::string& path, const char* wanted) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return {};
  return path + " is a directory, not " + wanted;
}

// One JSON object on one line, its members in the order they are added.
class JsonObject {
 public:
  JsonObject& Text(const char* key, const std::string& value) { return Member(key, platform::JsonString(value)); }
  JsonObject& Number(const char* key, uint64_t value) { return Member(key, std::to_string(value)); }
  JsonObject& Flag(const char* key, bool value) { return Member(key, value ? "true" : "false"); }
  JsonObject& Null(const char* key) { return Member(key, "null"); }
  std::string Line() const { return "{" + members_ + "}\n"; }

 private:
  JsonObject& Member(const char* key, const std::string& value) {
    members_ += (members_.empty() ? "" : ", ") + platform::JsonString(key) + ": " + value;
    return *this;
  }
  std::string members_;
};

// Why `path` cannot be read as a file (the system's words); empty when it can.
std::string Unreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return {};
}

// Why `folder` cannot take a new program; empty when it can.
std::string UnusableFolder(const std::string& folder) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (!std::filesystem::exists(status)) {
    return "the output folder " + folder + " does not exist: make it first (mkdir " + folder +
           "), or give another --output-dir";
  }
  if (!std::filesystem::is_directory(status)) {
    return "the output folder " + folder + " is not a folder: give a folder with --output-dir";
  }
  return {};
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      line += ": ";
    } else if (c != '\r') {
      line += c;
    }
  }
  return line;
}

PackCommands::PackCommands(const uint8_t* keyWord, std::ostream& out, std::ostream& err)
    : keyWord_(keyWord), out_(out), err_(err) {}

int PackCommands::Error(int status, const std::string& message) {
  err_ << kName << platform::PrintableText(OneLine(message)) << '\n';
  return status;
}

int PackCommands::Show(const std::string& program, bool json) {
  if (const std::string refusal = DirectoryRefusal(program, "a program file"); !refusal.empty()) {
    return Error(kTrouble, refusal);
  }
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
  const package::PackageView view = file.Package();
  if (json) {
    const auto slot = [](const char* text, size_t width) { return package::PackageView::SlotText(text, width); };
    JsonObject object;
    object.Text("program", program)
        .Text("kind", view.IsBuilder() ? "builder" : "flash program")
        .Text("drives", DriveAccessKey(file.Access()))
        .Text("model", slot(view.ModelSlot(), package::kSlotSize))
        .Text("inquiry", slot(view.InquirySlot(), package::kSlotSize))
        .Text("fw_range", slot(view.FWRangeSlot(), package::kSlotSize))
        .Text("vendor", slot(view.VendorSlot(), package::kSlotSize))
        .Text("note", slot(view.NoteSlot(), package::kSlotSize))
        .Text("version", slot(view.Version(), package::kVersionSize));
    if (view.IsBuilder()) {
      object.Null("image_bytes").Null("sha256");
    } else {
      object.Number("image_bytes", file.ImageSize())
          .Text("sha256", platform::Sha256Hex(file.Image(), file.ImageSize()));
    }
    out_ << object.Line();
    return kSuccess;
  }
  const auto slot = [](const char* text, size_t width) {
    return platform::PrintableText(package::PackageView::SlotText(text, width));
  };
  out_ << "Program:  " << platform::PrintableText(program) << '\n';
  out_ << "Kind:     " << (view.IsBuilder() ? "builder" : "flash program") << '\n';
  out_ << "Drives:   " << DriveAccessText(file.Access()) << '\n';
  out_ << "Model:    " << slot(view.ModelSlot(), package::kSlotSize) << '\n';
  out_ << "Inquiry:  " << slot(view.InquirySlot(), package::kSlotSize) << '\n';
  out_ << "FW-Range: " << slot(view.FWRangeSlot(), package::kSlotSize) << '\n';
  out_ << "Vendor:   " << slot(view.VendorSlot(), package::kSlotSize) << '\n';
  out_ << "Note:     " << slot(view.NoteSlot(), package::kSlotSize) << '\n';
  out_ << "Version:  " << slot(view.Version(), package::kVersionSize) << '\n';
  if (view.IsBuilder()) {
    out_ << "Image:    none\n";
    return kSuccess;
  }
  out_ << "Image:    " << file.ImageSize() << " bytes\n";
  out_ << "SHA-256:  " << platform::Sha256Hex(file.Image(), file.ImageSize()) << '\n';
  return kSuccess;
}

int PackCommands::Build(const BuildOptions& options) {
  package::ProgramFile builder;
  if (!builder.Read(options.builder, keyWord_)) return Error(kTrouble, builder.Error());
  if (!builder.Package().IsBuilder()) {
    return Error(kTrouble, options.builder + " is a flash program, not a builder: flash programs are built from the "
                                             "builder");
  }
  package::LoadedCatalogue loaded;
  if (const int refused = LoadCatalogue(options.catalogue, loaded); refused >= 0) return refused;
  const std::vector<package::CatalogueEntry>& models = loaded.catalogue.models;

  size_t chosen = 0;
  if (const int refused = ChooseModel(options, models, chosen); refused >= 0) return refused;
  const package::CatalogueEntry& entry = models[chosen];

  if (const std::string refusal = DirectoryRefusal(options.bin, "a BIN file"); !refusal.empty()) {
    return Error(kTrouble, refusal);
  }
  if (const std::string reason = Unreadable(options.bin); !reason.empty()) {
    return Error(kTrouble, "can't read " + options.bin + ": " + reason + "; give the path of the firmware's BIN file");
  }
  // The window lists only the files that match the model's mask.
  const std::string binName = BaseName(options.bin);
  if (!platform::MatchMask(entry.binMask, binName)) {
    return Error(kFailure, binName + " does not match the file mask " + entry.binMask + " of model " + entry.model);
  }

  package::BuildRequest request;
  request.identity = package::BuildIdentity(entry, binName);
  request.binFileName = binName;
  request.binPath = options.bin;
  request.programPath = options.builder;
  request.directory = options.outputDirectory.empty() ? platform::WorkingDirectory() : options.outputDirectory;
  request.keyWord = keyWord_;
  if (!options.outputDirectory.empty()) {
    if (const std::string reason = UnusableFolder(options.outputDirectory); !reason.empty()) {
      return Error(kTrouble, reason);
    }
  }

  // The window replaces a program of the output's name; a script is asked
  // to say so. (An output name that is one of the inputs' own is refused by
  // the build, with the window's text.)
  const std::string output = platform::PathJoin(request.directory, package::OutputName(binName));
  std::error_code error;
  if (!options.force && std::filesystem::exists(std::filesystem::symlink_status(output, error)) &&
      !platform::SameFile(output, options.builder) && !platform::SameFile(output, options.bin)) {
    return Error(kFailure, output + " exists; give --force to replace it");
  }

  uint32_t binLength = 0, workBufferSize = 0;
  uint8_t* workBuffer = nullptr;
  ErrorLines errors(err_);
  BoxesScope scope(errors);
  NoProgress progress;
  package::ProgramBuild build(progress, request, {binLength, workBuffer, workBufferSize});
  const bool built = build.Run();
  delete[] workBuffer;
  if (!built) return kFailure;
  PrintBuilt(options, build.OutputPath(), entry, binLength);
  return kSuccess;
}

// The model by its index in the catalogue or by its Model value, which
// must then name exactly one entry: -1 with `chosen` set, or the refusal's status.
int PackCommands::ChooseModel(const BuildOptions& options, const std::vector<package::CatalogueEntry>& models,
                              size_t& chosen) {
  chosen = models.size();
  if (AllDigits(options.model)) {
    chosen = options.model.size() <= 3 ? std::stoul(options.model) : models.size();
    if (chosen >= models.size()) {
      return Error(kFailure, "no model " + options.model + " in " + options.catalogue + ": its models are 0 to " +
                                 std::to_string(models.size() - 1));
    }
    return -1;
  }
  std::string matches;
  for (size_t k = 0; k < models.size(); ++k) {
    if (models[k].model != options.model) continue;
    if (chosen == models.size()) chosen = k;
    matches += (matches.empty() ? "" : ", ") + std::to_string(k);
  }
  if (matches.empty()) return Error(kFailure, "no model " + options.model + " in " + options.catalogue);
  if (matches != std::to_string(chosen)) {
    return Error(kFailure, "model " + options.model + " stands in " + options.catalogue + " more than once (" +
                               matches + "); choose it by its index");
  }
  return -1;
}

// The new program's path: as its bytes stand for a script, escaped on a
// terminal; with --json, one object.
void PackCommands::PrintBuilt(const BuildOptions& options, const std::string& path,
                              const package::CatalogueEntry& entry, uint32_t binLength) {
  if (!options.json) {
    out_ << (options.terminal ? platform::PrintableText(path) : path) << '\n';
    return;
  }
  package::ProgramFile built;
  const bool read = built.Read(path, keyWord_);
  JsonObject object;
  object.Text("program", path).Text("model", entry.model).Text("bin", options.bin).Number("image_bytes", binLength);
  if (read) {
    object.Text("version", package::PackageView::SlotText(built.Package().Version(), package::kVersionSize))
        .Text("sha256", platform::Sha256Hex(built.Image(), built.ImageSize()));
  } else {
    object.Null("version").Null("sha256");
  }
  out_ << object.Line();
}

// The catalogue, or the refusal's status (-1: loaded): a file that cannot
// be read says why, and what to give instead.
int PackCommands::LoadCatalogue(const std::string& path, package::LoadedCatalogue& loaded) {
  if (const std::string refusal = DirectoryRefusal(path, "a catalogue"); !refusal.empty()) {
    return Error(kTrouble, refusal);
  }
  loaded = package::LoadCatalogue(path);
  if (!loaded.loaded) {
    const std::string reason = Unreadable(path);
    return Error(kTrouble, loaded.error + (reason.empty() ? std::string() : ": " + reason) +
                               "; give a model catalogue (an INI file with sections MODEL00 to MODEL99)");
  }
  if (!loaded.error.empty()) return Error(kTrouble, loaded.error + "; every model section needs its six keys");
  return -1;
}

int PackCommands::Verify(const std::string& program, const std::string& bin, bool json) {
  for (const auto& [path, wanted] : {std::pair{program, "a program file"}, std::pair{bin, "a BIN file"}}) {
    if (const std::string refusal = DirectoryRefusal(path, wanted); !refusal.empty()) return Error(kTrouble, refusal);
  }
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
  std::vector<uint8_t> image;
  std::string reason;
  if (!package::ReadWholeFile(bin, image, reason)) return Error(kTrouble, bin + ": " + reason);
  if (json) {
    // The verdict, and what it was drawn from.
    JsonObject object;
    object.Text("program", program).Text("bin", bin);
    const bool builder = file.Package().IsBuilder();
    const size_t carried = builder ? 0 : file.ImageSize();
    const bool sameLength = !builder && carried == image.size();
    const auto differs = sameLength ? std::mismatch(image.begin(), image.end(), file.Image()).first : image.end();
    const bool carries = sameLength && differs == image.end();
    object.Flag("carries", carries).Text("kind", builder ? "builder" : "flash program");
    if (builder) {
      object.Null("image_bytes");
    } else {
      object.Number("image_bytes", carried);
    }
    object.Number("bin_bytes", image.size());
    if (sameLength && !carries) {
      object.Number("first_difference", static_cast<uint64_t>(differs - image.begin()));
    } else {
      object.Null("first_difference");
    }
    object.Text("bin_sha256", platform::Sha256Hex(image.data(), image.size()));
    out_ << object.Line();
    return carries ? kSuccess : kFailure;
  }

  const std::string shownProgram = platform::PrintableText(program);
  const std::string shownBin = platform::PrintableText(bin);
  if (file.Package().IsBuilder()) {
    out_ << shownProgram << " is a builder and carries no image\n";
    return kFailure;
  }
  const std::string verdict = shownProgram + " does not carry " + shownBin;
  if (file.ImageSize() != image.size()) {
    out_ << verdict << ": its image has " << file.ImageSize() << " bytes, the file " << image.size() << '\n';
    return kFailure;
  }
  const auto differs = std::mismatch(image.begin(), image.end(), file.Image());
  if (differs.first != image.end()) {
    out_ << verdict << ": the bytes differ from offset " << (differs.first - image.begin()) << " on\n";
    return kFailure;
  }
  out_ << shownProgram << " carries " << shownBin << ": " << image.size() << " bytes, SHA-256 " << platform::Sha256Hex(image.data(), image.size()) << '\n';
  return kSuccess;
}

int PackCommands::Models(const std::string& catalogue) {
  package::LoadedCatalogue loaded;
  if (const int refused = LoadCatalogue(catalogue, loaded); refused >= 0) return refused;
  for (size_t k = 0; k < loaded.catalogue.models.size(); ++k) {
    out_ << k << ' ' << platform::PrintableText(package::ModelListText(loaded.catalogue.models[k])) << '\n';
  }
  return kSuccess;
}

}  // namespace pack
