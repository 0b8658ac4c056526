// The INI model catalogue: the input is written as the catalogue file that
// lies beside the builder, and the builder's set-up reads it (RetriveINI),
// fills the model box and applies each model's file mask.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzForm.h"
#include "package/Package.h"

namespace {

struct Scratch {
  std::string directory;
  std::string program;
  std::string ini;
  std::vector<uint8_t> builderPackage = package::MakeBuilderPackage("FUZZ-KEY-WORD-");

  Scratch() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    std::string pattern = std::string(base) + "/flashutil-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fuzzing::Fail("cannot create a scratch directory");
    directory = pattern;
    program = directory + "/BUILDER";
    ini = directory + "/BUILDER.INI";
  }
  ~Scratch() {
    std::remove(ini.c_str());
    rmdir(directory.c_str());
  }
};

Scratch& GetScratch() {
  static Scratch scratch;
  return scratch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzing::Check;
  Scratch& scratch = GetScratch();
  std::FILE* file = std::fopen(scratch.ini.c_str(), "wb");
  if (file == nullptr) fuzzing::Fail("cannot write the catalogue");
  if (size > 0 && std::fwrite(data, 1, size, file) != size) fuzzing::Fail("cannot write the catalogue");
  std::fclose(file);

  fuzzing::FuzzForm form(scratch.builderPackage.data());
  form.programFile = scratch.program;
  form.currentDirectory = scratch.directory;
  form.FormCreate();  // builder mode: RetriveINI, model 0 chosen
  Check(form.BuildMode, "builder package not recognised");

  if (form.quitRequests != 0) return 0;  // missing or broken catalogue: reported and quit
  const size_t models = form.ModelList->size();
  Check(models >= 1 && models <= 100, "catalogue size out of 1..100");
  Check(form.InquiryList->size() == models && form.FWRangeList->size() == models &&
            form.BINMaskList->size() == models && form.VendorList->size() == models &&
            form.NoteList->size() == models && static_cast<size_t>(form.ComboCount()) == models,
        "catalogue lists differ in length");
  for (size_t k = 0; k < models; ++k) {
    Check((*form.InquiryList)[k].size() == 24, "Inquiry value not normalised to 24 characters");
    Check((*form.ModelList)[k].size() <= 24 && (*form.FWRangeList)[k].size() <= 24 &&
              (*form.VendorList)[k].size() <= 24 && (*form.NoteList)[k].size() <= 24,
          "value longer than a package slot");
    Check((*form.ModelList)[k] != "FAIL", "a FAIL value was taken as present");
  }
  Check(form.ComboItemIndex() == 0, "model 0 not selected");
  Check(!form.FlashButtonEnabled(), "Build enabled before a file was chosen");

  // Choose each model in turn (at most a few): mask, caption, file click.
  for (size_t k = 0; k < models && k < 8; ++k) {
    form.ComboSetItemIndex(static_cast<int>(k));
    form.ComboBoxChange();
    if (!form.fileListFiles.empty()) {
      form.fileListSelected = 0;
      form.FileListBox1Click();
      Check(form.BINFileName == form.fileListFiles[0] && form.FlashButtonEnabled(), "file click not taken");
    }
  }
  // Typed text selects no model: nothing may be indexed, Build stays off.
  form.comboIndex = -1;
  form.ComboBoxChange();
  Check(!form.FlashButtonEnabled(), "Build enabled without a model");
  return 0;
}
