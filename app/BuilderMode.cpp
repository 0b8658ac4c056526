#include "app/BuilderMode.h"

#include "app/FlashFormCore.h"
#include "app/Texts.h"
#include "package/Builder.h"
#include "package/Catalogue.h"
#include "platform/Services.h"

namespace app {

BuilderMode::BuilderMode(FlashFormCore& form) : form_(form), view_(form.View()) {}

void BuilderMode::SetUp() {
  // On this system the working directory is the whole of what the drive
  // letter and the per-drive directory described.
  form_.WorkDir = view_.CurrentDirectory();
  view_.FileListSetDirectory(form_.WorkDir);
  if (!form_.RetriveINI()) return;
  view_.FileListSetVisible(true);
  view_.SetSelectDriveLabel("Select Model: ");
  view_.SetFlashButtonCaption("Build");
  view_.SetFlashButtonEnabled(false);
}

bool BuilderMode::Quit(const std::string& message) {
  platform::ShowError(message);
  view_.RequestQuit(false);
  return false;
}

bool BuilderMode::RetriveINI() {
  for (std::unique_ptr<StringList>* list : {&form_.ModelList, &form_.InquiryList, &form_.FWRangeList,
                                            &form_.BINMaskList, &form_.VendorList, &form_.NoteList}) {
    *list = std::make_unique<StringList>();
  }
  const package::LoadedCatalogue loaded = package::LoadCatalogue(package::IniPathFor(view_.ProgramFilePath()));
  if (!loaded.loaded) return Quit(loaded.error);

  for (const package::CatalogueEntry& entry : loaded.catalogue.models) {
    // The lists hold what the build writes into the package's slots.
    const package::Identity slots = package::BuildIdentity(entry, std::string());
    form_.ModelList->push_back(slots.model);
    form_.InquiryList->push_back(slots.inquiry);
    form_.FWRangeList->push_back(slots.fwRange);
    form_.BINMaskList->push_back(entry.binMask);
    form_.VendorList->push_back(slots.vendor);
    form_.NoteList->push_back(slots.note);
    view_.ComboAdd(package::ModelListText(entry));
  }
  if (!loaded.error.empty()) return Quit(loaded.error);
  view_.ComboSetItemIndex(0);
  form_.ComboBoxChange();
  return true;
}

void BuilderMode::ModelChange() {
  const int k = view_.ComboItemIndex();
  if (k < 0 || !form_.BINMaskList || k >= static_cast<int>(form_.BINMaskList->size())) {
    // Typed text selects no model: nothing can be built until one is chosen.
    view_.SetFlashButtonEnabled(false);
    return;
  }
  const size_t entry = static_cast<size_t>(k);
  view_.FileListSetMask((*form_.BINMaskList)[entry]);
  form_.ShowCaption(texts::TitleText + (*form_.FWRangeList)[entry] + " [Buiding]");
  view_.SetFlashButtonEnabled(false);
}

void BuilderMode::FileClick() {
  form_.BINFileName = view_.FileListSelectedName();
  view_.SetFlashButtonEnabled(true);
}

void BuilderMode::Build() {
  // Nothing to build without a model and a file: the lists must not be indexed.
  const int entry = view_.ComboItemIndex();
  if (entry < 0 || !form_.ModelList || entry >= static_cast<int>(form_.ModelList->size())) {
    platform::ShowError("Please select a model before building!");
    return;
  }
  const std::string binPath = view_.FileListSelectedPath();
  if (form_.BINFileName.empty() || binPath.empty()) {
    platform::ShowError("Please select a BIN file before building!");
    return;
  }
  const size_t k = static_cast<size_t>(entry);
  package::BuildRequest request;
  request.identity = {(*form_.ModelList)[k], (*form_.InquiryList)[k], (*form_.FWRangeList)[k], (*form_.VendorList)[k],
                      (*form_.NoteList)[k],  package::VersionFromFileName(form_.BINFileName), 0};
  request.binFileName = form_.BINFileName;
  request.binPath = binPath;
  request.programPath = view_.ProgramFilePath();
  request.directory = view_.CurrentDirectory();
  request.keyWord = form_.Package.KeyWord();
  package::ProgramBuild(view_, request, {form_.BinLength, form_.WorkBuffer, form_.WorkBufferSize}).Run();
}

}  // namespace app
