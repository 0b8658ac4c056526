#include "platform/sim/ReplayTransport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/sim/SimTransport.h"

namespace platform::sim {

namespace {

using Kind = TranscriptRecord::Kind;

constexpr uint8_t kInquiry = 0x12;
constexpr size_t kIdentityBytes = 28;  // vendor 8, product 16, revision 4
constexpr uint8_t kCdRomDevice = 0x05;

// The recorded line after the last record, for what comes past the end.
size_t LineAfter(const ParsedTranscript& transcript) {
  return transcript.records.empty() ? 6 : transcript.records.back().line + 1;
}

// A record as the comparison sees it: an answer without how long it took,
// and the drive box's entry without its place in the box (the replay lists
// the recorded drive alone).
std::string Compared(const TranscriptRecord& record) {
  if (record.kind == Kind::ComboInsert) return ComboInsertShownLine(0, record.shown);
  if (record.kind != Kind::Answer) return record.text;
  const size_t unit = record.text.find(" us  ");
  return unit == std::string::npos ? record.text : record.text.substr(unit + 5);
}

}  // namespace

// --- ReplayTransport ------------------------------------------------------------

ReplayTransport::ReplayTransport(const ParsedTranscript& transcript) : transcript_(transcript) {
  const TranscriptHeader& header = transcript.header;
  device_.host = header.host;
  device_.channel = header.channel;
  device_.target = header.target;
  device_.lun = header.lun;
  device_.node = header.driveNode;
  // The entry is "H-T-L " with the drive's letter where it has one, ": "
  // and the INQUIRY identification.
  const std::string address =
      std::to_string(header.host) + "-" + std::to_string(header.target) + "-" + std::to_string(header.lun) + " ";
  // An entry without the identity ("0"): the start-up's first INQUIRY
  // found the identity the header adds, and the next failed.
  const bool listed = header.driveIdentity.find(": ") != std::string::npos;
  const std::string& identity = listed ? header.driveIdentity : header.foundIdentity;
  const size_t separator = identity.find(": ");
  device_.driveLetter = 0;
  if (separator != std::string::npos) {
    if (separator > address.size()) device_.driveLetter = static_cast<uint8_t>(identity[address.size()]);
    inquiry_ = identity.substr(separator + 2, kIdentityBytes);
    onlyFirstInquiry_ = !listed;
  }
}

std::vector<DeviceInfo> ReplayTransport::EnumerateDrives() { return {device_}; }

bool ReplayTransport::ThroughLibrary() const {
  return std::any_of(transcript_.records.begin(), transcript_.records.end(),
                     [](const TranscriptRecord& record) { return record.library.has_value(); });
}

bool ReplayTransport::ErrorsShown() const {
  return std::any_of(transcript_.records.begin(), transcript_.records.end(),
                     [](const TranscriptRecord& record) { return record.kind == Kind::ErrorsShown; });
}

int ReplayTransport::Open(const DeviceInfo& device, DeviceHandle& handle) {
  if (device.node != device_.node) return ENODEV;
  handle = 1;
  return 0;
}

const TranscriptRecord* ReplayTransport::Next(Kind also) const {
  const std::vector<TranscriptRecord>& records = transcript_.records;
  for (size_t i = next_; i < records.size(); ++i) {
    const Kind kind = records[i].kind;
    if (kind == Kind::Request || kind == also || kind == Kind::End) return &records[i];
  }
  return nullptr;
}

bool ReplayTransport::FiltersCommands(DeviceHandle) const {
  if (!begun_ || divergence_) return false;
  const TranscriptRecord* record = Next(Kind::Filters);
  if (record == nullptr || record->kind != Kind::Filters) return false;
  next_ = static_cast<size_t>(record - transcript_.records.data()) + 1;
  return record->filters;
}

bool ReplayTransport::StopReached() const {
  if (stopped_) return true;
  if (!begun_ || divergence_) return false;
  const TranscriptRecord* record = Next(Kind::Stop);
  if (record == nullptr || record->kind != Kind::Stop) return false;
  next_ = static_cast<size_t>(record - transcript_.records.data()) + 1;
  stopped_ = true;
  return true;
}

std::string ReplayTransport::StopCause() const {
  for (const TranscriptRecord& record : transcript_.records) {
    if (record.kind == Kind::Stop) return record.shown;
  }
  return {};
}

std::string ReplayTransport::HeldCause() const {
  for (const TranscriptRecord& record : transcript_.records) {
    if (record.kind == Kind::Held) return record.shown;
  }
  return {};
}

HoldOutcome ReplayTransport::LockExclusive(DeviceHandle) {
  if (!begun_ || divergence_) return {};
  const TranscriptRecord* record = Next(Kind::Hold);
  if (record == nullptr || record->kind != Kind::Hold) return {};
  next_ = static_cast<size_t>(record - transcript_.records.data()) + 1;
  return record->hold;
}

CommandOutcome ReplayTransport::Diverge(const std::string& came) {
  if (!divergence_) {
    const TranscriptRecord* record = Next();
    divergence_ = ReplayDifference{record != nullptr ? record->line : LineAfter(transcript_),
                                   record != nullptr ? record->text : std::string(), came};
  }
  CommandOutcome outcome;
  outcome.sysError = kReplayDiverged;
  return outcome;
}

CommandOutcome ReplayTransport::Execute(DeviceHandle, const Cdb& cdb, Direction direction, uint8_t* buffer,
                                        uint32_t length, unsigned timeoutSeconds) {
  lastLibrary_.reset();
  if (!begun_) {
    // The start-up's identification: the recorded drive's identity.
    CommandOutcome outcome;
    if (cdb[0] != kInquiry || direction != Direction::In || buffer == nullptr ||
        (onlyFirstInquiry_ && startupInquiries_++ > 0)) {
      outcome.sysError = kReplayDiverged;
      return outcome;
    }
    std::vector<uint8_t> data(8 + kIdentityBytes, ' ');
    std::fill_n(data.begin(), 8, uint8_t{0});
    data[0] = kCdRomDevice;
    data[4] = static_cast<uint8_t>(data.size() - 5);
    std::copy(inquiry_.begin(), inquiry_.end(), data.begin() + 8);
    const uint32_t arrived = std::min<uint32_t>(length, static_cast<uint32_t>(data.size()));
    std::memcpy(buffer, data.data(), arrived);
    outcome.transportOk = true;
    outcome.residual = length - arrived;
    return outcome;
  }

  const std::string came = CommandRequestLine(cdb, direction, length, timeoutSeconds, buffer);
  if (divergence_) return Diverge(came);
  const TranscriptRecord* request = Next();
  if (request == nullptr || request->kind != Kind::Request || request->text != came) return Diverge(came);
  const std::vector<TranscriptRecord>& records = transcript_.records;
  const size_t at = static_cast<size_t>(request - records.data());
  if (at + 1 >= records.size() || records[at + 1].kind != Kind::Answer) {
    // The recorded program never came back from this command: an exception ended it.
    next_ = at + 1;
    throw std::runtime_error("the recorded flash ended at this command (line " + std::to_string(request->line) + ")");
  }
  const TranscriptRecord& answer = records[at + 1];
  next_ = at + 2;
  lastLibrary_ = answer.library;
  if (buffer != nullptr && !answer.dataIn.empty()) {
    std::memcpy(buffer, answer.dataIn.data(), std::min<size_t>(answer.dataIn.size(), length));
  }
  return answer.outcome;
}

// --- ReplayLibraryPath ----------------------------------------------------------

namespace {

class ReplayLibrary final : public AspiLibrary {
 public:
  explicit ReplayLibrary(ReplayTransport& transport) : transport_(transport) {
    const std::vector<DeviceInfo> drives = transport_.EnumerateDrives();
    if (!drives.empty()) device_ = drives.front();
  }

  bool HasEntry(const std::string&) override { return true; }
  uint32_t GetSupportInfo() override { return uint32_t{kSrbCompleted} << 8 | static_cast<uint8_t>(device_.host + 1); }

  void SendCommand(AspiRequest& request) override {
    request.hostStatus = 0;
    request.targetStatus = 0;
    request.senseArea.fill(0);
    if (request.hostAdapter > device_.host) {
      request.status = kSrbInvalidHostAdapter;
    } else if (request.hostAdapter != device_.host || request.target != device_.target ||
               request.lun != device_.lun) {
      request.status = kSrbNoDevice;
    } else {
      request.status = kSrbPending;
    }
  }

  bool WaitForCompletion(AspiRequest& request, uint32_t milliseconds) override {
    if (request.status != kSrbPending) return true;
    Cdb cdb{};
    std::copy_n(request.cdb.begin(), cdb.size(), cdb.begin());
    const Direction direction = (request.flags & kSrbDirOut) != 0 ? Direction::Out : Direction::In;
    const CommandOutcome outcome =
        transport_.Execute(1, cdb, direction, request.buffer, request.bufferLength, milliseconds / 1000);
    error_ = outcome.sysError;
    const std::optional<LibraryStatus>& recorded = transport_.LastLibraryStatus();
    // A wait that the recorded library let run out: the request stays pending.
    if (outcome.timedOut || (recorded && recorded->request == kSrbPending)) return false;
    if (recorded) {
      request.status = recorded->request;
      request.hostStatus = recorded->hostAdapter;
    } else {
      // The start-up's identification, or a command past the recording.
      request.status = outcome.transportOk ? kSrbCompleted : kSrbError;
    }
    request.targetStatus = outcome.status;
    std::copy_n(outcome.sense.begin(), std::min<size_t>(request.senseLength, request.senseArea.size()),
                request.senseArea.begin());
    return true;
  }

  int SystemError() const override { return error_; }

 private:
  ReplayTransport& transport_;
  DeviceInfo device_;
  int error_ = 0;
};

}  // namespace

std::unique_ptr<AspiLibrary> ReplayLibraryPath::LoadAspiLibrary(const std::string&) {
  return std::make_unique<ReplayLibrary>(transport_);
}

// --- ReplayBoxes ----------------------------------------------------------------

ReplayBoxes::ReplayBoxes(const ParsedTranscript& transcript, Observer shown)
    : transcript_(transcript), shown_(std::move(shown)) {}

BoxAnswer ReplayBoxes::Show(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) {
  const BoxAnswer unanswered = buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
  BoxAnswer answer = buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
  if (begun_) {
    answer = unanswered;
    const std::vector<TranscriptRecord>& records = transcript_.records;
    size_t at = next_;
    while (at < records.size() && records[at].kind != Kind::Box) ++at;
    const std::string came = BoxShownLine(kind, caption, text, buttons);
    if (!divergence_ && at + 1 < records.size() && records[at].text == came &&
        records[at + 1].kind == Kind::BoxAnswer) {
      answer = records[at + 1].answer;
      next_ = at + 2;
    } else if (!divergence_) {
      divergence_ = at < records.size() ? ReplayDifference{records[at].line, records[at].text, came}
                                        : ReplayDifference{LineAfter(transcript_), "", came};
    }
  }
  if (shown_) shown_(kind, caption, text, buttons, answer);
  return answer;
}

// --- The comparison -------------------------------------------------------------

std::optional<ReplayDifference> CompareReplay(const ParsedTranscript& recorded, const ParsedTranscript& replayed,
                                              const std::string& addedBox) {
  const std::vector<TranscriptRecord>& want = recorded.records;
  const std::vector<TranscriptRecord>& got = replayed.records;
  const std::string added = addedBox.empty() ? std::string() : BoxShownLine(BoxKind::Plain, ApplicationTitle, addedBox, BoxButtons::Ok);
  size_t i = 0, j = 0;
  while (i < want.size() && j < got.size()) {
    // Requests held off came from outside the program, when they came.
    if (want[i].kind == Kind::Held || got[j].kind == Kind::Held) {
      i += want[i].kind == Kind::Held ? 1 : 0;
      j += got[j].kind == Kind::Held ? 1 : 0;
      continue;
    }
    if (Compared(want[i]) == Compared(got[j])) {
      ++i;
      ++j;
      continue;
    }
    // A drive held where the recorded program held none (the command
    // library's path has no exclusive access): the user saw nothing of it.
    if (got[j].kind == Kind::Hold && got[j].hold.sysError == 0 && want[i].kind != Kind::Hold) {
      ++j;
      continue;
    }
    // The restart the replay does not do, after the recorded Yes to it.
    if (!added.empty() && got[j].text == added && j + 1 < got.size() && j > 0 &&
        got[j - 1].kind == Kind::BoxAnswer && got[j - 1].answer == BoxAnswer::Yes) {
      j += 2;
      continue;
    }
    return ReplayDifference{want[i].line, want[i].text, got[j].text};
  }
  while (i < want.size() && want[i].kind == Kind::Held) ++i;
  while (j < got.size() && got[j].kind == Kind::Held) ++j;
  if (i < want.size()) return ReplayDifference{want[i].line, want[i].text, ""};
  if (j < got.size()) return ReplayDifference{LineAfter(recorded), "", got[j].text};
  return std::nullopt;
}

std::string ShortRecord(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  return text.substr(0, limit) + "...";
}

}  // namespace platform::sim
