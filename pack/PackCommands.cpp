#include "pack/PackCommands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
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
    err_ << kName << OneLine(text) << '\n';
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
  err_ << kName << OneLine(message) << '\n';
  return status;
}

int PackCommands::Show(const std::string& program) {
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kFailure, file.Error());
  const package::PackageView view = file.Package();
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
  if (!builder.Read(options.builder, keyWord_)) return Error(kFailure, builder.Error());
  if (!builder.Package().IsBuilder()) {
    return Error(kFailure, options.builder + " is a flash program, not a builder: flash programs are built from the "
                                             "builder");
  }

  const package::LoadedCatalogue loaded = package::LoadCatalogue(options.catalogue);
  if (!loaded.error.empty()) return Error(kFailure, loaded.error);
  const std::vector<package::CatalogueEntry>& models = loaded.catalogue.models;

  // The model by its index in the catalogue or by its Model value, which
  // must then name exactly one entry.
  size_t chosen = models.size();
  if (AllDigits(options.model)) {
    chosen = options.model.size() <= 3 ? std::stoul(options.model) : models.size();
    if (chosen >= models.size()) {
      return Error(kFailure, "no model " + options.model + " in " + options.catalogue + ": its models are 0 to " +
                                 std::to_string(models.size() - 1));
    }
  } else {
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
  }
  const package::CatalogueEntry& entry = models[chosen];

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

  uint32_t binLength = 0, workBufferSize = 0;
  uint8_t* workBuffer = nullptr;
  ErrorLines errors(err_);
  BoxesScope scope(errors);
  NoProgress progress;
  package::ProgramBuild build(progress, request, {binLength, workBuffer, workBufferSize});
  const bool built = build.Run();
  delete[] workBuffer;
  if (!built) return kFailure;
  out_ << build.OutputPath() << '\n';
  return kSuccess;
}

int PackCommands::Verify(const std::string& program, const std::string& bin) {
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
  std::vector<uint8_t> image;
  std::string reason;
  if (!package::ReadWholeFile(bin, image, reason)) return Error(kTrouble, bin + ": " + reason);

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

}  // namespace pack
