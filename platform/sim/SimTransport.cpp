#include "platform/sim/SimTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

namespace platform::sim {

namespace {

constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kBusy = 0x08;
constexpr uint32_t kInquiryAnswerLength = 96;

uint32_t Be24(const Cdb& cdb, size_t first) {
  return (uint32_t{cdb[first]} << 16) | (uint32_t{cdb[first + 1]} << 8) | cdb[first + 2];
}

// WRITE BUFFER control byte (CDB byte 9) of the flash start, plain or whole-flash.
bool IsFlashStartControl(uint8_t control) { return control == 0x80 || control == 0xA0; }

// Raw INQUIRY field: cut or blank-padded to its width, zero bytes kept.
std::string Field(const std::string& text, size_t width) {
  std::string field = text.substr(0, std::min(text.size(), width));
  field.resize(width, ' ');
  return field;
}

}  // namespace

// --- SimDrive ----------------------------------------------------------------

SimDrive::SimDrive(DriveConfig config, int index)
    : config_(std::move(config)),
      index_(index),
      revision_(Field(config_.revision, 4)) {}

void SimDrive::AllocateMemories() const {
  if (!dram_.empty()) return;
  dram_.assign(kDramSize, 0);
  flash_.assign(kFlashSize, 0xFF);
  e2_.assign(kE2Size, 0xFF);
}

std::string SimDrive::Node() const {
  if (!config_.node.empty()) return config_.node;
  return "/dev/sim-sg" + std::to_string(index_);
}

DeviceInfo SimDrive::Device() const {
  return DeviceInfo{' ',  config_.host,      config_.channel, config_.target, config_.lun,
                    Node(), config_.blockNode, config_.physicalPath};
}

std::vector<uint8_t> SimDrive::ProfileRecord() const {
  if (!profileOffset_) return {};
  AllocateMemories();
  uint32_t begin = std::min<uint32_t>(*profileOffset_, kDramSize);
  uint32_t end = std::min<uint32_t>(begin + profileLength_, kDramSize);
  return std::vector<uint8_t>(dram_.begin() + begin, dram_.begin() + end);
}

size_t SimDrive::CountOpcode(uint8_t opcode) const {
  return static_cast<size_t>(std::count_if(commands_.begin(), commands_.end(),
                                           [&](const LoggedCommand& c) { return c.cdb[0] == opcode; }));
}

void SimDrive::FailCommand(uint32_t number, Fault fault, bool repeat) {
  faults_.push_back({nullptr, std::max<uint32_t>(number, 1), 0, repeat, fault});
}

void SimDrive::FailOpcode(uint8_t opcode, Fault fault, uint32_t occurrence, bool repeat) {
  FailWhen([opcode](const Cdb& cdb) { return cdb[0] == opcode; }, fault, occurrence, repeat);
}

void SimDrive::FailWhen(std::function<bool(const Cdb&)> match, Fault fault, uint32_t occurrence,
                        bool repeat) {
  faults_.push_back({std::move(match), std::max<uint32_t>(occurrence, 1), 0, repeat, fault});
}

SimDrive::Reply SimDrive::Check(uint8_t byte2, uint8_t asc, uint8_t ascq) {
  Reply reply;
  reply.kind = Reply::Kind::CheckCondition;
  reply.sense[0] = 0x70;
  reply.sense[2] = byte2;
  reply.sense[7] = 0x0A;
  reply.sense[12] = asc;
  reply.sense[13] = ascq;
  return reply;
}

SimDrive::Reply SimDrive::Execute(const Cdb& cdb, Direction direction, uint8_t* buffer,
                                  uint32_t length, LoggedCommand& log) {
  log.drive = index_;
  log.cdb = cdb;
  log.direction = direction;
  log.length = length;
  if (direction == Direction::Out && buffer != nullptr && length > 0) {
    log.dataOut.assign(buffer, buffer + length);
  }

  // Every armed fault that matches counts this command; the first one due fires.
  std::optional<Fault> fired;
  for (auto it = faults_.begin(); it != faults_.end();) {
    bool erase = false;
    if (!it->match || it->match(cdb)) {
      ++it->seen;
      bool due = it->repeat ? it->seen >= it->occurrence : it->seen == it->occurrence;
      if (due && !fired) {
        fired = it->fault;
        erase = !it->repeat;
      }
    }
    it = erase ? faults_.erase(it) : it + 1;
  }

  Reply reply;
  const bool dataIn = direction == Direction::In && buffer != nullptr && length > 0;
  if (fired && fired->kind == FaultKind::ShortTransfer) {
    // The drive answers in full; only the first bytes arrive, and the rest
    // of the host's buffer keeps what it held.
    std::vector<uint8_t> answer(buffer, buffer + (dataIn ? length : 0));
    reply = Run(cdb, direction, dataIn ? answer.data() : buffer, length);
    if (dataIn && reply.kind == Reply::Kind::Good) {
      const uint32_t arrived = std::min(fired->delivered, length - reply.residual);
      std::memcpy(buffer, answer.data(), arrived);
      reply.residual = length - arrived;
      log.faulted = true;
    }
  } else if (fired && fired->kind != FaultKind::CorruptReadBack) {
    log.faulted = true;
    switch (fired->kind) {
      case FaultKind::CheckCondition:
        reply = Check(fired->senseByte2, fired->asc, fired->ascq);
        break;
      case FaultKind::TransportError:
        reply.kind = Reply::Kind::TransportError;
        break;
      case FaultKind::Busy:
        reply.kind = Reply::Kind::Busy;
        break;
      case FaultKind::TimeOut:
        reply.kind = Reply::Kind::TimeOut;
        break;
      case FaultKind::Aborted:
        reply.kind = Reply::Kind::Aborted;
        break;
      case FaultKind::CorruptReadBack:
      case FaultKind::ShortTransfer:
        break;
    }
    reply.sysError = fired->sysError;
  } else {
    reply = Run(cdb, direction, buffer, length);
    if (fired && reply.kind == Reply::Kind::Good && dataIn) {
      log.faulted = true;
      buffer[std::min(fired->corruptOffset, length - 1)] ^= fired->corruptMask;
    }
  }
  log.senseByte2 = reply.sense[2];
  log.asc = reply.sense[12];
  log.ascq = reply.sense[13];
  log.sysError = reply.sysError;
  return reply;
}

// The drive's own side of the protocol, kept apart from the flash procedure's
// command blocks so that a wrong block there is answered as a drive would.
namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint8_t kOpStopPlayScan = 0x4E;
constexpr uint8_t kOpReadCd = 0xBE;
constexpr uint8_t kOpVendor = 0xDF;

}  // namespace

SimDrive::Reply SimDrive::Fail(int sysError) {
  Reply reply;
  reply.kind = Reply::Kind::TransportError;
  reply.sysError = sysError;
  return reply;
}

SimDrive::Reply SimDrive::Run(const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length) {
  if (length > 0 && buffer == nullptr) return Fail(EFAULT);
  const Data data{direction == Direction::In && length > 0, direction == Direction::Out && length > 0, buffer, length};
  switch (cdb[0]) {
    case kOpInquiry:
      return Inquiry(cdb, data);
    case kOpTestUnitReady:
      return TestUnitReady();
    case kOpReadCd:
      if (!config_.discPresent) return Check(0x02, 0x3A, 0x00);
      if (data.in) std::memset(buffer, 0, length);
      return Reply{};
    case kOpStopPlayScan:
      // A drive that is becoming ready answers every command so, not only
      // TEST UNIT READY.
      return becoming_ ? Check(0x02, 0x04, 0x01) : Reply{};
    case kOpStartStopUnit:
      return Reply{};
    case kOpWriteBuffer:
      AllocateMemories();
      return WriteBuffer(cdb, data);
    case kOpReadBuffer:
      AllocateMemories();
      return ReadBuffer(cdb, data);
    case kOpVendor:
      AllocateMemories();
      return Vendor(cdb, data);
    default:
      return Check(0x05, 0x20, 0x00);
  }
}

SimDrive::Reply SimDrive::Inquiry(const Cdb& cdb, const Data& data) {
  if (!config_.answersInquiry) return Fail(EIO);
  if (!data.in && data.length > 0) return Check(0x05, 0x24, 0x00);
  std::array<uint8_t, kInquiryAnswerLength> answer{};
  answer[0] = config_.peripheralType;
  answer[1] = 0x80;  // removable medium
  answer[2] = 0x00;
  answer[3] = 0x02;  // response data format
  answer[4] = kInquiryAnswerLength - 5;
  std::string text = Field(config_.vendor, 8) + Field(config_.product, 16) + revision_;
  std::memcpy(answer.data() + 8, text.data(), 28);
  uint32_t n = std::min<uint32_t>({data.length, cdb[4], kInquiryAnswerLength});
  std::memcpy(data.buffer, answer.data(), n);
  Reply reply;
  reply.residual = data.length - n;  // the drive sends no more than its answer
  return reply;
}

SimDrive::Reply SimDrive::TestUnitReady() {
  const Reply notReady = Check(0x02, 0x04, 0x01);
  becoming_ = config_.neverReady || config_.becomingReadyPolls > 0;
  if (config_.neverReady) return notReady;
  if (config_.becomingReadyPolls > 0) {
    --config_.becomingReadyPolls;
    return notReady;
  }
  if (!config_.discPresent) return Check(0x02, 0x3A, 0x00);
  return Reply{};
}

// Mode 05h on buffer 1: a block, the profile record (control 7Fh with data),
// entry critical (7Fh without) or the flash start (80h, A0h).
SimDrive::Reply SimDrive::WriteBuffer(const Cdb& cdb, const Data& data) {
  const Reply invalidField = Check(0x05, 0x24, 0x00);
  if ((cdb[1] & 0x1F) != 0x05 || cdb[2] != 0x01) return invalidField;
  const uint32_t offset = Be24(cdb, 3);
  const uint32_t fieldLength = Be24(cdb, 6);
  const uint8_t control = cdb[9];
  if (IsFlashStartControl(control)) return FlashStart(control, data);
  if (control != 0x00 && control != 0x7F) return invalidField;
  if (control == 0x7F && data.length == 0 && fieldLength == 0) {  // entry critical
    ++entryCriticals_;
    return Reply{};
  }
  if (data.in || fieldLength != data.length) return invalidField;
  if (uint64_t{offset} + data.length > kDramSize) return invalidField;
  if (data.length > 0) std::memcpy(dram_.data() + offset, data.buffer, data.length);
  if (control == 0x00 && data.length > 0 && offset == config_.slowBlockOffset && config_.slowBlockMilliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(config_.slowBlockMilliseconds));
  }
  if (control == 0x7F) {
    profileOffset_ = offset;
    profileLength_ = data.length;
    ++profileWrites_;
  }
  return Reply{};
}

void SimDrive::SetCurrentRevision(const std::string& revision) { revision_ = Field(revision, 4); }

SimDrive::Reply SimDrive::FlashStart(uint8_t control, const Data& data) {
  if (data.out) return Check(0x05, 0x24, 0x00);
  if (config_.flashStartMilliseconds > 0) {
    programming_.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(config_.flashStartMilliseconds));
    programming_.store(false);
  }
  flash_.assign(dram_.begin(), dram_.begin() + kFlashSize);
  ++flashStarts_;
  lastFlashControl_ = control;
  if (config_.revisionAfterFlash && !config_.revisionAfterFlash->empty()) {
    revision_ = Field(*config_.revisionAfterFlash, 4);
  }
  if (data.in) std::memset(data.buffer, 0, data.length);
  return Reply{};
}

SimDrive::Reply SimDrive::ReadBuffer(const Cdb& cdb, const Data& data) {
  const Reply invalidField = Check(0x05, 0x24, 0x00);
  const uint8_t mode = cdb[1] & 0x1F;
  if ((mode != 0x01 && mode != 0x02) || cdb[2] != 0x01) return invalidField;
  const uint32_t offset = Be24(cdb, 3);
  const uint32_t fieldLength = Be24(cdb, 6);
  if (data.out || fieldLength != data.length) return invalidField;
  if (uint64_t{offset} + data.length > kDramSize) return invalidField;
  if (data.length > 0) std::memcpy(data.buffer, dram_.data() + offset, data.length);
  return Reply{};
}

// The flash-chip ID (11h) and E2 byte writes (0Ah).
SimDrive::Reply SimDrive::Vendor(const Cdb& cdb, const Data& data) {
  if (cdb[1] == 0x11) {
    if (data.out) return Check(0x05, 0x24, 0x00);
    std::array<uint8_t, kFlashIdAnswerLength> answer{};
    std::copy(config_.flashId.begin(), config_.flashId.end(), answer.begin());
    const uint32_t n = std::min<uint32_t>(data.length, kFlashIdAnswerLength);
    std::memcpy(data.buffer, answer.data(), n);
    Reply reply;
    reply.residual = data.length - n;
    return reply;
  }
  if (cdb[1] == 0x0A) {
    e2_[(uint32_t{cdb[7]} << 8) | cdb[8]] = cdb[9];
    return Reply{};
  }
  return Check(0x05, 0x24, 0x00);
}

Direction DataDirectionOf(const Cdb& cdb) {
  return cdb[0] == kOpWriteBuffer && !IsFlashStartControl(cdb[9]) ? Direction::Out : Direction::In;
}

// --- Shared state ------------------------------------------------------------

struct SimTransport::State {
  // Flashes that run side by side reach their drives from threads of their
  // own: the handles and the logs are shared, each drive is one thread's.
  // A drive runs its command outside the lock, so that a slow one keeps
  // no other drive waiting.
  std::mutex mutex;
  std::vector<std::unique_ptr<SimDrive>> drives;
  bool passThrough = true;
  LibraryConfig library;
  std::optional<std::string> revisionAfterFlash;
  DiscoveryFacts discovery;
  std::map<int, std::string> openRemedies;
  std::function<void(int, const Cdb&)> journal;

  std::vector<LoggedCommand> log;
  std::vector<int> openOrder;
  std::vector<int> closeOrder;
  struct Handle {
    int drive = 0;
    bool blockNode = false;  // opened through the drive's block node
    bool exclusive = false;  // holds the drive exclusively
  };
  std::map<DeviceHandle, Handle> handles;
  DeviceHandle nextHandle = 100;
  unsigned enumerateCalls = 0;
  unsigned usesPassThroughCalls = 0;
  unsigned libraryLoadAttempts = 0;
  std::vector<std::string> libraryNames;
  unsigned librariesLoaded = 0;
  unsigned librariesReleased = 0;
  unsigned supportInfoCalls = 0;
  std::vector<uint32_t> waits;

  SimDrive* Find(uint8_t host, uint8_t target, uint8_t lun) {
    for (auto& drive : drives) {
      const DriveConfig& c = drive->Config();
      if (c.host == host && c.target == target && c.lun == lun) return drive.get();
    }
    return nullptr;
  }

  void Record(SimDrive* drive, const LoggedCommand& entry) {
    log.push_back(entry);
    if (drive != nullptr) drive->RecordCommand(entry);
  }
};

namespace {

// The command library: completes requests at once or, like the real one,
// when the caller waits for them. A request whose wait times out is dropped
// and never touched again.
class SimLibrary final : public AspiLibrary {
 public:
  explicit SimLibrary(std::shared_ptr<SimTransport::State> state) : state_(std::move(state)) {
    ++state_->librariesLoaded;
  }
  ~SimLibrary() override { ++state_->librariesReleased; }

  bool HasEntry(const std::string& name) override {
    const auto& missing = state_->library.missingEntries;
    return std::find(missing.begin(), missing.end(), name) == missing.end();
  }

  uint32_t GetSupportInfo() override {
    ++state_->supportInfoCalls;
    return (uint32_t{state_->library.supportStatus} << 8) | static_cast<uint8_t>(Adapters());
  }

  void SendCommand(AspiRequest& request) override {
    request.status = kSrbPending;
    request.hostStatus = 0;
    request.targetStatus = 0;
    request.senseArea.fill(0);

    LoggedCommand entry;
    entry.viaLibrary = true;
    std::copy_n(request.cdb.begin(), 12, entry.cdb.begin());
    entry.direction = (request.flags & kSrbDirOut) != 0 ? Direction::Out : Direction::In;
    entry.length = request.bufferLength;

    const int adapters = Adapters();
    SimDrive* drive = state_->Find(request.hostAdapter, request.target, request.lun);
    if (request.hostAdapter >= adapters || drive == nullptr) {
      request.status = request.hostAdapter >= adapters ? kSrbInvalidHostAdapter : kSrbNoDevice;
      entry.srbStatus = request.status;
      state_->Record(nullptr, entry);
      return;
    }

    SimDrive::Reply reply =
        drive->Execute(entry.cdb, entry.direction, request.buffer, request.bufferLength, entry);
    Completion completion{reply, state_->log.size(), drive->Commands().size(), drive};
    state_->Record(drive, entry);
    if (state_->library.completesAtOnce && reply.kind != SimDrive::Reply::Kind::TimeOut) {
      Complete(request, completion);
    } else {
      pending_[&request] = completion;
    }
  }

  bool WaitForCompletion(AspiRequest& request, uint32_t milliseconds) override {
    state_->waits.push_back(milliseconds);
    auto it = pending_.find(&request);
    if (it == pending_.end()) return request.status != kSrbPending;
    Completion completion = it->second;
    pending_.erase(it);  // completed now, or abandoned for good
    Entry(completion).waitMilliseconds = milliseconds;
    completion.drive->CommandAt(completion.driveIndex).waitMilliseconds = milliseconds;
    if (completion.reply.kind == SimDrive::Reply::Kind::TimeOut) {
      if (completion.reply.sysError != 0) errno = completion.reply.sysError;
      return false;
    }
    Complete(request, completion);
    return true;
  }

 private:
  struct Completion {
    SimDrive::Reply reply;
    size_t logIndex = 0;
    size_t driveIndex = 0;
    SimDrive* drive = nullptr;
  };

  int Adapters() const {
    int adapters = state_->library.hostAdapters;
    if (adapters < 0) {
      adapters = 0;
      for (auto& drive : state_->drives) adapters = std::max(adapters, drive->Config().host + 1);
    }
    return adapters;
  }

  LoggedCommand& Entry(const Completion& completion) { return state_->log[completion.logIndex]; }

  void Complete(AspiRequest& request, const Completion& completion) {
    using Kind = SimDrive::Reply::Kind;
    const SimDrive::Reply& reply = completion.reply;
    switch (reply.kind) {
      case Kind::Good:
        request.status = kSrbCompleted;
        break;
      case Kind::CheckCondition:
        request.status = kSrbError;
        request.targetStatus = kCheckCondition;
        std::copy_n(reply.sense.begin(), std::min<size_t>(request.senseLength, request.senseArea.size()),
                    request.senseArea.begin());
        break;
      case Kind::TransportError:
        request.status = kSrbError;
        request.hostStatus = kHostSelectionTimeout;
        break;
      case Kind::Busy:
        request.status = kSrbError;
        request.targetStatus = kBusy;
        break;
      case Kind::Aborted:
        request.status = kSrbAborted;
        break;
      case Kind::TimeOut:
        return;
    }
    if (reply.sysError != 0) errno = reply.sysError;
    LoggedCommand& entry = Entry(completion);
    entry.srbStatus = request.status;
    entry.status = request.targetStatus;
    entry.transportOk = request.status == kSrbCompleted || request.targetStatus != 0;
    LoggedCommand& driveEntry = completion.drive->CommandAt(completion.driveIndex);
    driveEntry.srbStatus = entry.srbStatus;
    driveEntry.status = entry.status;
    driveEntry.transportOk = entry.transportOk;
  }

  std::shared_ptr<SimTransport::State> state_;
  std::map<const AspiRequest*, Completion> pending_;
};

}  // namespace

// --- SimTransport ------------------------------------------------------------

SimTransport::SimTransport() : state_(std::make_shared<State>()) {}

SimTransport::~SimTransport() = default;

SimDrive& SimTransport::AddDrive(DriveConfig config) {
  if (!config.revisionAfterFlash && state_->revisionAfterFlash) {
    config.revisionAfterFlash = state_->revisionAfterFlash;
  }
  int index = static_cast<int>(state_->drives.size());
  state_->drives.push_back(std::make_unique<SimDrive>(std::move(config), index));
  return *state_->drives.back();
}

size_t SimTransport::DriveCount() const { return state_->drives.size(); }
SimDrive& SimTransport::Drive(size_t index) { return *state_->drives.at(index); }
const SimDrive& SimTransport::Drive(size_t index) const { return *state_->drives.at(index); }
SimDrive* SimTransport::FindDrive(uint8_t host, uint8_t target, uint8_t lun) {
  return state_->Find(host, target, lun);
}

void SimTransport::SetPassThrough(bool passThrough) { state_->passThrough = passThrough; }

void SimTransport::SetOpenRemedy(int error, const std::string& remedy) { state_->openRemedies[error] = remedy; }

std::string SimTransport::OpenRemedy(int sysError) const {
  const auto it = state_->openRemedies.find(sysError);
  return it != state_->openRemedies.end() ? it->second : std::string();
}
LibraryConfig& SimTransport::Library() { return state_->library; }

void SimTransport::SetRevisionAfterFlash(const std::string& revision) {
  if (revision.empty()) {
    state_->revisionAfterFlash.reset();
  } else {
    state_->revisionAfterFlash = revision;
  }
  for (auto& drive : state_->drives) drive->Config().revisionAfterFlash = state_->revisionAfterFlash;
}

const std::vector<LoggedCommand>& SimTransport::Log() const { return state_->log; }
size_t SimTransport::CountOpcode(uint8_t opcode) const {
  return static_cast<size_t>(std::count_if(state_->log.begin(), state_->log.end(),
                                           [&](const LoggedCommand& c) { return c.cdb[0] == opcode; }));
}
void SimTransport::ClearLog() {
  state_->log.clear();
  for (auto& drive : state_->drives) drive->ClearLog();
}
const std::vector<int>& SimTransport::OpenOrder() const { return state_->openOrder; }
const std::vector<int>& SimTransport::CloseOrder() const { return state_->closeOrder; }
unsigned SimTransport::EnumerateCalls() const { return state_->enumerateCalls; }
unsigned SimTransport::UsesPassThroughCalls() const { return state_->usesPassThroughCalls; }
unsigned SimTransport::LibraryLoadAttempts() const { return state_->libraryLoadAttempts; }
const std::vector<std::string>& SimTransport::LibraryNamesAsked() const { return state_->libraryNames; }
unsigned SimTransport::LibrariesLoaded() const { return state_->librariesLoaded; }
unsigned SimTransport::LibrariesReleased() const { return state_->librariesReleased; }
const std::vector<uint32_t>& SimTransport::CompletionWaits() const { return state_->waits; }
unsigned SimTransport::SupportInfoCalls() const { return state_->supportInfoCalls; }

bool SimTransport::UsesPassThrough() {
  ++state_->usesPassThroughCalls;
  return state_->passThrough;
}

std::vector<DeviceInfo> SimTransport::EnumerateDrives() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->enumerateCalls;
  std::vector<DeviceInfo> found;
  for (auto& drive : state_->drives) found.push_back(drive->Device());
  std::stable_sort(found.begin(), found.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
    return std::tie(a.host, a.channel, a.target, a.lun) < std::tie(b.host, b.channel, b.target, b.lun);
  });
  return found;
}

void SimTransport::SetDiscovery(const DiscoveryFacts& facts) { state_->discovery = facts; }

void SimTransport::SetJournal(std::function<void(int drive, const Cdb& cdb)> received) {
  state_->journal = std::move(received);
}

DiscoveryFacts SimTransport::Discovery() const { return state_->discovery; }

std::string SimTransport::NodeGroup(const std::string& node) const {
  for (const auto& drive : state_->drives) {
    if (!node.empty() && (drive->Node() == node || drive->Config().blockNode == node)) return drive->Config().nodeGroup;
  }
  return {};
}

int SimTransport::Open(const DeviceInfo& device, DeviceHandle& handle) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  handle = kNoHandle;
  SimDrive* drive = nullptr;
  bool blockNode = false;
  for (auto& candidate : state_->drives) {
    if (device.node.empty()) continue;
    if (candidate->Node() == device.node) {
      drive = candidate.get();
      blockNode = false;
    } else if (candidate->Config().blockNode == device.node) {
      drive = candidate.get();
      blockNode = true;
    }
  }
  if (drive == nullptr) return ENOENT;
  const DriveConfig& config = drive->Config();
  if (!blockNode && config.openError != 0) return config.openError;
  if (blockNode && config.blockOpenError != 0) return config.blockOpenError;
  // Held exclusively, the drive's SCSI generic node does not open.
  if (!blockNode && drive->HeldExclusively()) return EBUSY;
  handle = state_->nextHandle++;
  state_->handles[handle] = State::Handle{drive->Index(), blockNode, false};
  state_->openOrder.push_back(drive->Index());
  drive->NoteOpen();
  return 0;
}

CommandOutcome SimTransport::Execute(DeviceHandle handle, const Cdb& cdb, Direction direction,
                                     uint8_t* buffer, uint32_t length, unsigned timeoutSeconds) {
  CommandOutcome outcome;
  LoggedCommand entry;
  entry.cdb = cdb;
  entry.direction = direction;
  entry.length = length;
  entry.timeoutSeconds = timeoutSeconds;

  std::unique_lock<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) {
    outcome.sysError = EBADF;
    entry.sysError = EBADF;
    state_->Record(nullptr, entry);
    return outcome;
  }
  const State::Handle opened = it->second;
  SimDrive& drive = *state_->drives[static_cast<size_t>(opened.drive)];
  entry.viaBlockNode = opened.blockNode;
  entry.exclusive = drive.HeldExclusively();
  SimDrive::Reply reply;
  if (opened.blockNode && drive.Config().filtersOnBlockNode && (cdb[0] == 0x3B || cdb[0] == 0xDF)) {
    // Refused by the system before it reaches the drive.
    entry.drive = drive.Index();
    reply.kind = SimDrive::Reply::Kind::TransportError;
    reply.sysError = EPERM;
    entry.sysError = EPERM;
  } else {
    if (state_->journal) state_->journal(drive.Index(), cdb);
    lock.unlock();
    reply = drive.Execute(cdb, direction, buffer, length, entry);
    lock.lock();
  }
  outcome.residual = reply.kind == SimDrive::Reply::Kind::Good ? reply.residual : 0;

  using Kind = SimDrive::Reply::Kind;
  switch (reply.kind) {
    case Kind::Good:
      outcome.transportOk = true;
      break;
    case Kind::CheckCondition:
      outcome.transportOk = true;
      outcome.status = kCheckCondition;
      outcome.sense = reply.sense;
      break;
    case Kind::Busy:
      outcome.transportOk = true;
      outcome.status = kBusy;
      break;
    case Kind::TimeOut:
      outcome.timedOut = true;
      outcome.sysError = reply.sysError;
      break;
    case Kind::TransportError:
    case Kind::Aborted:
      outcome.sysError = reply.sysError;
      break;
  }
  entry.transportOk = outcome.transportOk;
  entry.timedOut = outcome.timedOut;
  entry.residual = outcome.residual;
  entry.status = outcome.status;
  entry.sysError = outcome.sysError;
  state_->Record(&drive, entry);
  return outcome;
}

void SimTransport::Close(DeviceHandle handle) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return;
  Unlock(*state_, handle);
  state_->closeOrder.push_back(it->second.drive);
  state_->drives[static_cast<size_t>(it->second.drive)]->NoteClose();
  state_->handles.erase(it);
}

bool SimTransport::FiltersCommands(DeviceHandle handle) const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end() || !it->second.blockNode) return false;
  return state_->drives[static_cast<size_t>(it->second.drive)]->Config().filtersOnBlockNode;
}

HoldOutcome SimTransport::LockExclusive(DeviceHandle handle) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return {EBADF, false, ""};
  if (it->second.exclusive) return {};
  SimDrive& drive = *state_->drives[static_cast<size_t>(it->second.drive)];
  const DriveConfig& config = drive.Config();
  if (!it->second.blockNode) {
    // Any other handle on the SCSI generic node keeps it from being held.
    for (const auto& [other, opened] : state_->handles) {
      if (other != handle && opened.drive == drive.Index() && !opened.blockNode) return {EBUSY, true, drive.Node()};
    }
  }
  if (!config.blockNode.empty()) {
    // Claiming the block node fails while a disc of the drive is mounted; a
    // block node that is not there is not claimed.
    int error = config.mounted ? EBUSY : 0;
    if (error == 0 && !it->second.blockNode && config.blockOpenError != ENOENT) error = config.blockOpenError;
    if (error != 0) return {error, error == EBUSY, config.blockNode};
  }
  it->second.exclusive = true;
  drive.SetHeldExclusively(true);
  return {};
}

void SimTransport::UnlockExclusive(DeviceHandle handle) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  Unlock(*state_, handle);
}

void SimTransport::Unlock(State& state, DeviceHandle handle) {
  auto it = state.handles.find(handle);
  if (it == state.handles.end() || !it->second.exclusive) return;
  it->second.exclusive = false;
  state.drives[static_cast<size_t>(it->second.drive)]->SetHeldExclusively(false);
}

std::unique_ptr<AspiLibrary> SimTransport::LoadAspiLibrary(const std::string& name) {
  ++state_->libraryLoadAttempts;
  state_->libraryNames.push_back(name);
  if (state_->library.loadFails) {
    errno = state_->library.loadErrno;
    return nullptr;
  }
  return std::make_unique<SimLibrary>(state_);
}

// --- The built-in set ---------------------------------------------------------

std::unique_ptr<SimTransport> MakeDefaultSimTransport() {
  auto transport = std::make_unique<SimTransport>();
  struct Entry {
    const char* vendor;
    const char* product;
    const char* revision;
    std::array<uint8_t, 4> flashId;
  };
  const Entry entries[] = {
      {"VOX-TEL ", "QRD-73318K      ", "Q120", {0x00, 0x00, 0x00, 0x00}},
      {"VOX-TEL ", "QRD-73318K      ", "Q205", {0x00, 0x00, 0x00, 0x00}},
      {"ACME    ", "CDRW-5200       ", "3.11", {0x00, 0x00, 0x00, 0x00}},
      {"VOX-TEL ", "DVD-ROM MVK-417 ", "K200", {0xBF, 0xD6, 0x00, 0x01}},
      {"VOX-TEL ", "CRW-5232S       ", "S120", {0xDA, 0xC8, 0x00, 0x00}},
  };
  uint8_t host = 0;
  for (const Entry& e : entries) {
    DriveConfig config;
    config.host = host;
    config.target = 0;
    config.node = "/dev/sim-sg" + std::to_string(host);
    // Made up, as a tower's slot would read.
    config.physicalPath = "sim-slot-" + std::to_string(host + 1);
    config.vendor = e.vendor;
    config.product = e.product;
    config.revision = e.revision;
    config.flashId = e.flashId;
    transport->AddDrive(config);
    ++host;
  }
  return transport;
}

std::unique_ptr<SimTransport> MakeDefaultSimTransport(const std::string& revisionAfterFlash) {
  auto transport = MakeDefaultSimTransport();
  transport->SetRevisionAfterFlash(revisionAfterFlash);
  return transport;
}

}  // namespace platform::sim
