// Simulated drives: an in-process transport with configurable drives for
// trying every workflow without an optical drive, and for tests.
//
// Each simulated drive answers INQUIRY and implements the vendor flash
// protocol: a DRAM buffer (ID 1) filled with WRITE BUFFER and read with READ
// BUFFER, the flash-chip ID, E2 byte writes, the profile record, entry
// critical and the flash start, which programs the drive's flash from DRAM.
// It also answers the preparation commands (TEST UNIT READY, START STOP UNIT,
// STOP PLAY/SCAN, READ CD). Unknown commands end with ILLEGAL REQUEST,
// INVALID COMMAND OPERATION CODE (05/20/00). Sense data is fixed format.
//
// The transport offers both access paths: the pass-through path (the
// default: a drive is opened by the DeviceInfo that discovery returned, that
// is by its device node) and the command library path, which stands for the
// ASPI library and addresses drives by host adapter, target and LUN.
//
// Faults are armed per drive. A fault armed by command number counts the
// commands that reach that drive after the fault was armed: 1 is the next
// command. A fault armed by opcode counts only the commands with that opcode
// (1 is the next one). A fault fires once unless it is armed as repeating, in
// which case it hits every matching command from the chosen one on. The
// faulted command does not reach the drive's logic (nothing is written, no
// readiness poll is used up), except a corrupted read-back, which runs the
// command and then flips bits in one byte of the data returned, and a short
// transfer, which runs it and then brings only part of its data in.
//
// A drive may have a block node beside its SCSI generic node. On the block
// node the drive can be made to filter commands as the Linux block layer
// does for a process without CAP_SYS_RAWIO (WRITE BUFFER and vendor commands
// refused with EPERM before they reach the drive). Exclusive access behaves
// as on Linux: while one handle holds the drive exclusively its SCSI generic
// node does not open (EBUSY); it cannot be held while another handle has
// that node open, nor while a disc of it is mounted.
//
// Drives may be reached from several threads at once, each drive from one:
// a drive runs its command while the others run theirs.
//
// Everything the transport and its drives saw is logged: every command with
// its CDB, direction, length, a copy of the data sent and its outcome; opens
// and closes; library loads, releases and completion waits.
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandLibrary.h"
#include "platform/Transport.h"

namespace platform::sim {

using Cdb = platform::Cdb;

// Sizes of the drive's memories.
constexpr uint32_t kDramSize = 0x90000;    // buffer ID 1: image (0x80000) and record area behind it
constexpr uint32_t kFlashSize = 0x80000;   // the flash chip that the flash start programs from DRAM
constexpr uint32_t kE2Size = 0x10000;      // E2 memory, 16-bit addresses
constexpr uint32_t kFlashIdAnswerLength = 128;
constexpr uint32_t kFlashStartAnswerLength = 16;

// Library status codes beyond the four of platform/CommandLibrary.h.
constexpr uint8_t kSrbInvalidHostAdapter = 0x81;
constexpr uint8_t kSrbNoDevice = 0x82;

// Host status the library reports for a transport failure.
constexpr uint8_t kHostSelectionTimeout = 0x11;

enum class FaultKind : uint8_t {
  CheckCondition,   // status 2 (CHECK CONDITION) with a sense triple; library: SRB status 4
  TransportError,   // the call fails without sense data and with an errno; library: SRB status 4, host status 0x11
  Busy,             // status 8 (BUSY) without sense data; library: SRB status 4, target status 8
  TimeOut,          // transport time-out without sense data; library: the request stays pending for ever
  Aborted,          // pass-through: call fails without sense (errno EINTR); library: SRB status 2
  CorruptReadBack,  // the command runs, then one byte of its data-in phase is corrupted
  ShortTransfer,    // the command runs, then only the first `delivered` bytes of its data-in
                    // phase reach the host (the rest of the buffer keeps what it held, as on
                    // /dev/sgN) and the residual says how many did not; no effect without data-in
};

struct Fault {
  FaultKind kind = FaultKind::CheckCondition;
  uint8_t senseByte2 = 0;  // CheckCondition: sense byte 2 as a whole (key plus flag bits)
  uint8_t asc = 0;
  uint8_t ascq = 0;
  int sysError = 0;            // TransportError / TimeOut / Aborted: the errno reported
  uint32_t corruptOffset = 0;  // CorruptReadBack: index in the data-in phase (cut to its length)
  uint8_t corruptMask = 0x01;  // CorruptReadBack: bits flipped in that byte
  uint32_t delivered = 0;      // ShortTransfer: bytes of the data-in phase that arrive

  static Fault Of(FaultKind kind, int sysError = 0) {
    Fault f;
    f.kind = kind;
    f.sysError = sysError;
    return f;
  }
  static Fault Sense(uint8_t byte2, uint8_t asc, uint8_t ascq) {
    Fault f = Of(FaultKind::CheckCondition);
    f.senseByte2 = byte2;
    f.asc = asc;
    f.ascq = ascq;
    return f;
  }
  static Fault Transport(int sysError = EPERM) { return Of(FaultKind::TransportError, sysError); }
  static Fault Busy() { return Of(FaultKind::Busy); }
  static Fault TimeOut() { return Of(FaultKind::TimeOut, ETIMEDOUT); }
  static Fault Aborted() { return Of(FaultKind::Aborted, EINTR); }
  static Fault CorruptByte(uint32_t offset = 0, uint8_t mask = 0x01) {
    Fault f = Of(FaultKind::CorruptReadBack);
    f.corruptOffset = offset;
    f.corruptMask = mask;
    return f;
  }
  static Fault Short(uint32_t delivered) {
    Fault f = Of(FaultKind::ShortTransfer);
    f.delivered = delivered;
    return f;
  }
};

struct DriveConfig {
  // SCSI address. The library path matches host, target and LUN.
  uint8_t host = 0;
  uint8_t channel = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::string node;  // device node; empty: "/dev/sim-sgN" with N the drive's index
  std::string blockNode;  // its block node; empty: it has none
  std::string physicalPath;  // where it sits (made up); empty: the system does not tell

  // INQUIRY identification as raw bytes: a shorter text is padded with
  // blanks, a longer one cut; zero bytes are kept as they are.
  std::string vendor = "VOX-TEL ";            // 8 bytes
  std::string product = "QRD-73318K      ";   // 16 bytes
  std::string revision = "Q120";              // 4 bytes
  uint8_t peripheralType = 5;                 // INQUIRY byte 0

  std::string nodeGroup;       // the group that owns `node` (and the block node); empty: none known
  int openError = 0;           // pass-through Open of `node` fails with this errno when not 0
  int blockOpenError = 0;      // the same for `blockNode`
  bool filtersOnBlockNode = false;  // on the block node only safe commands pass (no CAP_SYS_RAWIO)
  bool mounted = false;        // a disc of the drive is mounted: it cannot be held exclusively
  bool answersInquiry = true;  // false: INQUIRY fails like a transport error (EIO, no sense)

  std::array<uint8_t, 4> flashId{};  // first 4 bytes of the 128-byte read-flash-ID answer
  bool discPresent = false;          // no disc: TEST UNIT READY and READ CD answer 02/3A/00
  unsigned becomingReadyPolls = 0;   // this many TEST UNIT READY commands answer 02/04/01
  bool neverReady = false;           // every TEST UNIT READY answers 02/04/01

  // How long the flash start takes, as a real drive's does while it programs its flash.
  unsigned flashStartMilliseconds = 0;
  // How long the WRITE BUFFER of the image block at DRAM offset slowBlockOffset
  // takes (0: no longer than the others).
  unsigned slowBlockMilliseconds = 0;
  uint32_t slowBlockOffset = 0;

  // Revision that INQUIRY reports after a completed flash start; unset: unchanged.
  std::optional<std::string> revisionAfterFlash;
};

// One command as the transport received it, and how it ended.
struct LoggedCommand {
  int drive = -1;  // index of the drive that received it; -1 when none was there
  Cdb cdb{};
  Direction direction = Direction::In;
  uint32_t length = 0;
  std::vector<uint8_t> dataOut;  // copy of the data sent (direction Out)
  unsigned timeoutSeconds = 0;   // pass-through: the time-out passed in
  bool viaLibrary = false;
  uint32_t waitMilliseconds = 0;  // library: the completion wait asked for; 0 when none ran

  bool faulted = false;  // an armed fault hit this command
  bool viaBlockNode = false;  // sent through the drive's block node
  bool exclusive = false;     // the drive was held exclusively while it ran
  uint32_t residual = 0;      // bytes of the data phase not transferred
  bool transportOk = false;
  bool timedOut = false;
  uint8_t status = 0;     // SCSI status
  uint8_t srbStatus = 0;  // library path: the request's final status
  uint8_t senseByte2 = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  int sysError = 0;

  uint8_t opcode() const { return cdb[0]; }
};

class SimDrive {
 public:
  explicit SimDrive(DriveConfig config, int index);

  // The configuration may be changed at any time; it applies to the next command.
  DriveConfig& Config() { return config_; }
  const DriveConfig& Config() const { return config_; }
  int Index() const { return index_; }
  std::string Node() const;
  // The drive as discovery returns it.
  DeviceInfo Device() const;

  // Memories.
  std::vector<uint8_t>& Dram() { AllocateMemories(); return dram_; }
  const std::vector<uint8_t>& Dram() const { AllocateMemories(); return dram_; }
  std::vector<uint8_t>& Flash() { AllocateMemories(); return flash_; }
  const std::vector<uint8_t>& Flash() const { AllocateMemories(); return flash_; }
  std::vector<uint8_t>& E2() { AllocateMemories(); return e2_; }
  const std::vector<uint8_t>& E2() const { AllocateMemories(); return e2_; }

  // The last profile record written (WRITE BUFFER control 0x7F with data):
  // its DRAM offset (from the CDB) and length; nullopt when none was written.
  std::optional<uint32_t> ProfileRecordOffset() const { return profileOffset_; }
  uint32_t ProfileRecordLength() const { return profileLength_; }
  std::vector<uint8_t> ProfileRecord() const;  // the record's bytes as they now lie in DRAM
  unsigned ProfileRecordWrites() const { return profileWrites_; }

  unsigned EntryCriticalCount() const { return entryCriticals_; }
  unsigned FlashStartCount() const { return flashStarts_; }
  uint8_t LastFlashControl() const { return lastFlashControl_; }  // 0x80 or 0xA0; 0 before any
  bool Flashed() const { return flashStarts_ > 0; }
  // True while a flash start that takes time (flashStartMilliseconds) runs;
  // safe to ask from any thread.
  bool Programming() const { return programming_.load(); }
  std::string CurrentRevision() const { return revision_; }  // what INQUIRY now reports (4 bytes)
  // What INQUIRY reports from now on (a drive flashed in an earlier run).
  void SetCurrentRevision(const std::string& revision);
  unsigned ReadinessPollsLeft() const { return config_.becomingReadyPolls; }

  // Pass-through path: open handles and history.
  bool HeldExclusively() const { return exclusive_; }
  unsigned OpenHandles() const { return openHandles_; }
  unsigned Opens() const { return opens_; }
  unsigned Closes() const { return closes_; }

  // Commands this drive received, in order.
  const std::vector<LoggedCommand>& Commands() const { return commands_; }
  size_t CountOpcode(uint8_t opcode) const;
  void ClearLog() { commands_.clear(); }

  // Fault injection (see the file comment for counting).
  void FailCommand(uint32_t number, Fault fault, bool repeat = false);
  void FailOpcode(uint8_t opcode, Fault fault, uint32_t occurrence = 1, bool repeat = false);
  void FailWhen(std::function<bool(const Cdb&)> match, Fault fault, uint32_t occurrence = 1,
                bool repeat = false);
  void ClearFaults() { faults_.clear(); }
  size_t ArmedFaults() const { return faults_.size(); }
  void SetNeverReady(bool never = true) { config_.neverReady = never; }

  // --- Used by the transport ---------------------------------------------
  struct Reply {
    enum class Kind { Good, CheckCondition, TransportError, Busy, TimeOut, Aborted } kind = Kind::Good;
    std::array<uint8_t, 32> sense{};  // fixed format when kind is CheckCondition
    int sysError = 0;
    uint32_t residual = 0;  // bytes of the data phase not transferred
  };
  // Runs one command: applies armed faults, then the drive's own logic.
  // `buffer` holds `length` bytes; data-in is written to it only on success.
  Reply Execute(const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length,
                LoggedCommand& log);
  void RecordCommand(const LoggedCommand& log) { commands_.push_back(log); }
  LoggedCommand& CommandAt(size_t index) { return commands_.at(index); }
  void NoteOpen() { ++opens_; ++openHandles_; }
  void NoteClose() { ++closes_; if (openHandles_ > 0) --openHandles_; }
  void SetHeldExclusively(bool held) { exclusive_ = held; }

 private:
  struct ArmedFault {
    std::function<bool(const Cdb&)> match;  // null: every command
    uint32_t occurrence = 1;
    uint32_t seen = 0;
    bool repeat = false;
    Fault fault;
  };

  // The data phase of one command.
  struct Data {
    bool in = false;   // data from the drive, length above 0
    bool out = false;  // data to the drive, length above 0
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
  };
  Reply Run(const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length);
  Reply Inquiry(const Cdb& cdb, const Data& data);
  Reply TestUnitReady();
  Reply WriteBuffer(const Cdb& cdb, const Data& data);
  Reply FlashStart(uint8_t control, const Data& data);
  Reply ReadBuffer(const Cdb& cdb, const Data& data);
  Reply Vendor(const Cdb& cdb, const Data& data);
  static Reply Check(uint8_t byte2, uint8_t asc, uint8_t ascq);
  static Reply Fail(int sysError);

  DriveConfig config_;
  int index_ = 0;
  std::string revision_;
  // The memories come into being on first use: a drive that is only listed
  // costs no memory (the simulated program starts with five drives).
  void AllocateMemories() const;
  mutable std::vector<uint8_t> dram_;
  mutable std::vector<uint8_t> flash_;
  mutable std::vector<uint8_t> e2_;
  std::optional<uint32_t> profileOffset_;
  uint32_t profileLength_ = 0;
  unsigned profileWrites_ = 0;
  unsigned entryCriticals_ = 0;
  unsigned flashStarts_ = 0;
  uint8_t lastFlashControl_ = 0;
  std::atomic<bool> programming_{false};
  bool becoming_ = false;  // the last TEST UNIT READY found the drive becoming ready
  bool exclusive_ = false;
  unsigned openHandles_ = 0;
  unsigned opens_ = 0;
  unsigned closes_ = 0;
  std::vector<LoggedCommand> commands_;
  std::vector<ArmedFault> faults_;
};

// Settings of the command library (ASPI) path.
struct LibraryConfig {
  bool loadFails = false;  // LoadAspiLibrary returns null and leaves errno set
  int loadErrno = ENOENT;
  std::vector<std::string> missingEntries;  // e.g. "GetASPI32SupportInfo", "SendASPI32Command"
  uint8_t supportStatus = 1;                // status in bits 8-15 of GetSupportInfo
  int hostAdapters = -1;                    // -1: highest host of the drives plus one
  // false (default): every request stays pending until WaitForCompletion, as
  // with the real library; true: requests complete inside SendCommand.
  bool completesAtOnce = false;
};

class SimTransport : public DriveTransport, public CommandLibraryPath {
 public:
  SimTransport();
  ~SimTransport() override;
  SimTransport(const SimTransport&) = delete;
  SimTransport& operator=(const SimTransport&) = delete;

  // --- Configuration -------------------------------------------------------
  SimDrive& AddDrive(DriveConfig config);  // the reference stays valid for the transport's life
  size_t DriveCount() const;
  SimDrive& Drive(size_t index);
  const SimDrive& Drive(size_t index) const;
  // The drive at this address, or null.
  SimDrive* FindDrive(uint8_t host, uint8_t target, uint8_t lun);

  void SetPassThrough(bool passThrough);  // false: the command library path
  LibraryConfig& Library();

  // The revision every drive (present and later added) reports after a
  // completed flash start. Empty: unchanged.
  void SetRevisionAfterFlash(const std::string& revision);
  // The line OpenRemedy gives for an open that failed with `error` (none by default).
  void SetOpenRemedy(int error, const std::string& remedy);

  // What discovery reports having seen beyond the drives (default: nothing known).
  void SetDiscovery(const DiscoveryFacts& facts);
  // Called with the drive's index and the command block of every
  // pass-through command as it reaches a drive, before the drive runs it
  // (a journal outside the process survives the process's end).
  void SetJournal(std::function<void(int drive, const Cdb& cdb)> received);

  // --- Observation ---------------------------------------------------------
  const std::vector<LoggedCommand>& Log() const;  // every command, all drives, in order
  size_t CountOpcode(uint8_t opcode) const;
  void ClearLog();
  const std::vector<int>& OpenOrder() const;   // drive index of every successful Open
  const std::vector<int>& CloseOrder() const;  // drive index of every Close
  unsigned EnumerateCalls() const;
  unsigned UsesPassThroughCalls() const;
  unsigned LibraryLoadAttempts() const;
  const std::vector<std::string>& LibraryNamesAsked() const;
  unsigned LibrariesLoaded() const;    // library objects handed out
  unsigned LibrariesReleased() const;  // library objects destroyed
  const std::vector<uint32_t>& CompletionWaits() const;  // milliseconds of every WaitForCompletion
  unsigned SupportInfoCalls() const;

  // --- DriveTransport --------------------------------------------------------
  bool IsSimulated() const override { return true; }
  std::vector<DeviceInfo> EnumerateDrives() override;
  DiscoveryFacts Discovery() const override;
  std::string NodeGroup(const std::string& node) const override;
  // Opens the drive whose node (or block node) the device names.
  int Open(const DeviceInfo& device, DeviceHandle& handle) override;
  bool FiltersCommands(DeviceHandle handle) const override;
  HoldOutcome LockExclusive(DeviceHandle handle) override;
  void UnlockExclusive(DeviceHandle handle) override;
  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer,
                         uint32_t length, unsigned timeoutSeconds) override;
  void Close(DeviceHandle handle) override;
  std::string OpenRemedy(int sysError) const override;

  // --- CommandLibraryPath ------------------------------------------------------
  bool UsesPassThrough() override;
  std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string& name) override;

  struct State;  // shared with the library objects, which may outlive the transport

 private:
  // UnlockExclusive with the state's lock held.
  static void Unlock(State& state, DeviceHandle handle);

  std::shared_ptr<State> state_;
};

// The direction of a command's data phase as these drives understand it:
// only the BIN blocks and the profile record (WRITE BUFFER other than the
// flash start) carry data to the drive; every other command that moves data
// brings it to the host. For a transport that is not told the direction.
Direction DataDirectionOf(const Cdb& cdb);

// The built-in set of drives of the flashutil-sim program (host adapters 0
// to 4, target 0): two drives of the QRD-73318K model (revisions Q120 and
// Q205), an ACME CDRW-5200 (3.11), a DVD-ROM MVK-417 (K200, flash ID
// BF D6 00 01) and a CRW-5232S (S120, flash ID DA C8 00 00).
std::unique_ptr<SimTransport> MakeDefaultSimTransport();
// The same set; every drive reports `revisionAfterFlash` after a flash.
std::unique_ptr<SimTransport> MakeDefaultSimTransport(const std::string& revisionAfterFlash);

}  // namespace platform::sim
