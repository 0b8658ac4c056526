// A drive behind the real Linux SCSI stack, for the system tests in the QEMU
// guest. The kernel's SCSI target with a userspace backstore
// (target_core_user) hands every command of its LUN to this program through
// a ring shared over /dev/uioN; the loopback fabric (tcm_loop) exports the
// LUN to the same kernel, where sr and sg bind to it as to any optical drive.
// Only REPORT LUNS and the reservation commands stay in the kernel.
//
// What the drive does is the simulated drive's (platform/sim): INQUIRY with
// the identity given here, the preparation commands, DRAM behind WRITE and
// READ BUFFER, the flash-chip ID, E2 writes, the profile record, entry
// critical, and the flash start, which programs the flash from DRAM and
// makes the image's revision the drive's own. This program adds the ring,
// the faults a real drive or bridge shows on the wire, and a log.
//
//   tcmu_drive --uio /dev/uioN --log FILE --control FILE [--vendor TEXT]
//              [--product TEXT] [--revision TEXT] [--flash-id HEX8]
//              [--revision-after-flash TEXT] [--flash-out FILE]
//
// The log has one line per command: the command block as it arrived (the
// kernel passes the length of the opcode's group: 6 bytes for INQUIRY, 10 for
// WRITE BUFFER, READ BUFFER and 0xDF, whatever the initiator sent), the data
// direction and length when there is a data phase, and the answer: GOOD,
// CHECK <key> <asc> <ascq>, BUSY or SHORT <bytes sent>, followed by "fault"
// when a scripted fault made it. A stalled command is logged when the stall
// begins ("STALL <seconds> fault") and again with its answer ("late"). A flash
// start that ran adds the line "FLASH <revision now reported>" and writes the
// flash to --flash-out.
//
// Orders come through the control file, which is read and removed before
// each command and every 20 ms while the drive is idle; one order a line:
//   reset               a fresh drive: memories erased, first revision, no faults
//   mark TEXT           the log line "MARK TEXT"
//   fail [op=XX] [bN=XX]... [nth=N] FAULT
//                       the Nth command from now (default 1) whose command
//                       block has these bytes (hex; none: any command) gets
//                       FAULT (of two faults due on one command the one armed
//                       first fires, and the other lapses):
//     sense KK AA QQ    CHECK CONDITION with fixed-format sense KK/AA/QQ
//     busy              status BUSY, no sense
//     stall SECONDS     the answer comes that much later (the kernel drops an
//                       answer that comes after the LUN's cmd_time_out)
//     short BYTES       only the first BYTES of its data-in reach the host
//     dram OFFSET MASK  it runs, then the DRAM byte at OFFSET has MASK flipped
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/SimTransport.h"

namespace {

using platform::Direction;
using platform::sim::Cdb;
using platform::sim::DriveConfig;
using platform::sim::LoggedCommand;
using platform::sim::SimDrive;

// The ring's layout, as <linux/target_core_user.h> (mailbox version 2)
// defines it; that header is C only (its iovec clashes with the C library's
// and its inline functions do not compile as C++).
struct Mailbox {
  uint16_t version;
  uint16_t flags;
  uint32_t cmdr_off;   // offset of the command ring in the mapping
  uint32_t cmdr_size;  // its size
  uint32_t cmd_head;   // written by the kernel
  uint8_t pad[48];
  uint32_t cmd_tail;  // written by us, on a cache line of its own
};
static_assert(offsetof(Mailbox, cmd_head) == 12 && offsetof(Mailbox, cmd_tail) == 64);

constexpr uint32_t kOpMask = 0x7;  // low bits of len_op: the entry's kind
constexpr uint32_t kOpPad = 0;
constexpr uint32_t kOpCommand = 1;
constexpr uint8_t kReadLengthFlag = 0x2;  // uflags: rsp.read_len is valid
constexpr size_t kSenseBufferSize = 96;

// The entry is declared packed, but the request and answer inside it are
// plain structures, aligned as usual.
struct RingIovec {
  uint64_t base;  // offset in the mapping
  uint64_t length;
};
struct EntryHeader {
  uint32_t len_op;
  uint16_t cmd_id;
  uint8_t kflags;
  uint8_t uflags;
};
struct Request {
  EntryHeader hdr;
  uint32_t iov_cnt;
  uint32_t iov_bidi_cnt;
  uint32_t iov_dif_cnt;
  uint64_t cdb_off;
  uint64_t pad1;
  uint64_t pad2;
  RingIovec iov[1];  // iov_cnt of them
};
struct Response {
  EntryHeader hdr;
  uint8_t scsi_status;
  uint8_t pad1;
  uint16_t pad2;
  uint32_t read_len;
  uint8_t sense_buffer[kSenseBufferSize];
};
static_assert(sizeof(EntryHeader) == 8);
static_assert(offsetof(Request, cdb_off) == 24 && offsetof(Request, iov) == 48);
static_assert(offsetof(Response, read_len) == 12 && offsetof(Response, sense_buffer) == 16);

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kBusy = 0x08;
constexpr int kIdlePollMs = 20;

// Bytes of the command block the kernel copies into the ring: the length of
// the opcode's group, as the SCSI layer's command size table gives it.
size_t CommandSize(uint8_t opcode) {
  static constexpr size_t kGroupSize[8] = {6, 10, 10, 12, 16, 12, 10, 10};
  return kGroupSize[opcode >> 5];
}

struct Options {
  std::string uio;
  std::string log;
  std::string control;
  std::string flashOut;
  DriveConfig drive;
};

enum class FaultKind { Sense, Busy, Stall, Short, Dram };

struct Fault {
  std::vector<std::pair<size_t, uint8_t>> bytes;  // command block bytes that must match
  unsigned nth = 1;
  unsigned seen = 0;
  FaultKind kind = FaultKind::Sense;
  uint8_t key = 0, asc = 0, ascq = 0;
  unsigned amount = 0;  // stall seconds, short bytes, or DRAM offset
  uint8_t mask = 0;

  bool Matches(const Cdb& cdb) const {
    return std::all_of(bytes.begin(), bytes.end(), [&](const auto& b) { return cdb[b.first] == b.second; });
  }
};

unsigned long Number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 0); }
uint8_t Hex(const std::string& text) { return static_cast<uint8_t>(std::strtoul(text.c_str(), nullptr, 16)); }

// Parses the words after "fail"; nullopt when they make no fault.
std::optional<Fault> ParseFault(std::istringstream& words) {
  Fault fault;
  std::string word;
  while (words >> word) {
    if (word.rfind("op=", 0) == 0) {
      fault.bytes.emplace_back(0, Hex(word.substr(3)));
    } else if (word.size() > 2 && word[0] == 'b' && word.find('=') != std::string::npos) {
      const size_t index = Number(word.substr(1, word.find('=') - 1));
      if (index >= 12) return std::nullopt;
      fault.bytes.emplace_back(index, Hex(word.substr(word.find('=') + 1)));
    } else if (word.rfind("nth=", 0) == 0) {
      fault.nth = static_cast<unsigned>(std::max<unsigned long>(1, Number(word.substr(4))));
    } else {
      break;
    }
  }
  std::string a, b, c;
  if (word == "sense" && words >> a >> b >> c) {
    fault.kind = FaultKind::Sense;
    fault.key = Hex(a);
    fault.asc = Hex(b);
    fault.ascq = Hex(c);
  } else if (word == "busy") {
    fault.kind = FaultKind::Busy;
  } else if (word == "stall" && words >> a) {
    fault.kind = FaultKind::Stall;
    fault.amount = static_cast<unsigned>(Number(a));
  } else if (word == "short" && words >> a) {
    fault.kind = FaultKind::Short;
    fault.amount = static_cast<unsigned>(Number(a));
  } else if (word == "dram" && words >> a >> b) {
    fault.kind = FaultKind::Dram;
    fault.amount = static_cast<unsigned>(Number(a));
    fault.mask = static_cast<uint8_t>(Number(b));
  } else {
    return std::nullopt;
  }
  return fault;
}

class ModelDrive {
 public:
  ModelDrive(const Options& options, std::FILE* log) : options_(options), log_(log) { Reset(); }

  void Reset() {
    drive_ = std::make_unique<SimDrive>(options_.drive, 0);
    faults_.clear();
  }

  // Applies the orders of the control file, if there is one.
  void ReadOrders() {
    if (::access(options_.control.c_str(), F_OK) != 0) return;
    std::ifstream file(options_.control);
    if (!file) return;
    std::string line;
    while (std::getline(file, line)) {
      std::istringstream words(line);
      std::string order;
      words >> order;
      if (order == "reset") {
        Reset();
      } else if (order == "mark") {
        std::string text;
        std::getline(words >> std::ws, text);
        std::fprintf(log_, "MARK %s\n", text.c_str());
      } else if (order == "fail") {
        if (std::optional<Fault> fault = ParseFault(words)) {
          faults_.push_back(*fault);
        } else {
          std::fprintf(stderr, "tcmu_drive: cannot read the order \"%s\"\n", line.c_str());
        }
      } else if (!order.empty()) {
        std::fprintf(stderr, "tcmu_drive: unknown order \"%s\"\n", line.c_str());
      }
    }
    std::remove(options_.control.c_str());
  }

  // Serves one command. `data` holds the data-out bytes on entry and the
  // data-in bytes on return; `sent` is how many of those reached the host.
  struct Answer {
    uint8_t status = kGood;
    std::array<uint8_t, 32> sense{};
    bool dataIn = false;
    uint32_t sent = 0;  // data-in bytes that reach the host
  };
  Answer Serve(const uint8_t* block, size_t blockLength, std::vector<uint8_t>& data) {
    Cdb cdb{};
    std::copy_n(block, std::min(blockLength, cdb.size()), cdb.begin());
    const Direction direction = platform::sim::DataDirectionOf(cdb);
    // Data-in starts as zeros, not as whatever the data area held before.
    if (direction == Direction::In) std::fill(data.begin(), data.end(), 0);
    const std::optional<Fault> fault = TakeFault(cdb);

    std::string line;
    char piece[16];
    for (size_t i = 0; i < blockLength; ++i) {
      std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", block[i]);
      line += piece;
    }
    if (!data.empty()) {
      line += direction == Direction::In ? " in " : " out ";
      line += std::to_string(data.size());
    }

    if (fault && fault->kind == FaultKind::Stall) {
      // Logged at once, so that the log shows the stall while it lasts; the
      // late answer gets a line of its own.
      std::fprintf(log_, "%s STALL %u fault\n", line.c_str(), fault->amount);
      std::this_thread::sleep_for(std::chrono::seconds(fault->amount));
    }
    Answer answer;
    answer.dataIn = direction == Direction::In;
    if (fault && fault->kind == FaultKind::Sense) {
      answer.status = kCheckCondition;
      answer.sense[0] = 0x70;
      answer.sense[2] = fault->key;
      answer.sense[7] = 0x0A;
      answer.sense[12] = fault->asc;
      answer.sense[13] = fault->ascq;
    } else if (fault && fault->kind == FaultKind::Busy) {
      answer.status = kBusy;
    } else {
      const unsigned flashes = drive_->FlashStartCount();
      LoggedCommand entry;
      const SimDrive::Reply reply = drive_->Execute(cdb, direction, data.data(),
                                                    static_cast<uint32_t>(data.size()), entry);
      if (reply.kind == SimDrive::Reply::Kind::CheckCondition) {
        answer.status = kCheckCondition;
        answer.sense = reply.sense;
      } else if (reply.kind != SimDrive::Reply::Kind::Good) {
        // The simulated drive's own transport failures do not occur here;
        // answer them as a hardware error should one ever come.
        answer.status = kCheckCondition;
        answer.sense[0] = 0x70;
        answer.sense[2] = 0x04;
        answer.sense[7] = 0x0A;
      } else if (direction == Direction::In) {
        answer.sent = static_cast<uint32_t>(data.size());
        if (fault && fault->kind == FaultKind::Short) answer.sent = std::min(answer.sent, fault->amount);
      }
      if (fault && fault->kind == FaultKind::Dram && fault->amount < drive_->Dram().size()) {
        drive_->Dram()[fault->amount] ^= fault->mask;
      }
      if (drive_->FlashStartCount() != flashes) flashed_ = true;
    }

    if (answer.status == kBusy) {
      line += " BUSY";
    } else if (answer.status == kCheckCondition) {
      std::snprintf(piece, sizeof piece, " CHECK %02X %02X %02X", answer.sense[2], answer.sense[12],
                    answer.sense[13]);
      line += piece;
    } else if (direction == Direction::In && answer.sent < data.size()) {
      line += " SHORT " + std::to_string(answer.sent);
    } else {
      line += " GOOD";
    }
    if (fault) line += fault->kind == FaultKind::Stall ? " late" : " fault";
    if (fault && fault->kind == FaultKind::Dram) {
      std::snprintf(piece, sizeof piece, " dram 0x%X", fault->amount);
      line += piece;
      std::snprintf(piece, sizeof piece, " 0x%02X", fault->mask);
      line += piece;
    }
    std::fprintf(log_, "%s\n", line.c_str());
    if (flashed_) ReportFlash();
    return answer;
  }

 private:
  // Counts the command for every armed fault that it matches; the first one
  // due fires and is disarmed.
  std::optional<Fault> TakeFault(const Cdb& cdb) {
    std::optional<Fault> fired;
    for (auto it = faults_.begin(); it != faults_.end();) {
      if (it->Matches(cdb) && ++it->seen == it->nth && !fired) {
        fired = *it;
        it = faults_.erase(it);
      } else {
        ++it;
      }
    }
    return fired;
  }

  void ReportFlash() {
    flashed_ = false;
    std::fprintf(log_, "FLASH %s\n", drive_->CurrentRevision().c_str());
    if (options_.flashOut.empty()) return;
    const std::string temporary = options_.flashOut + ".new";
    if (std::FILE* out = std::fopen(temporary.c_str(), "wb")) {
      const std::vector<uint8_t>& flash = drive_->Flash();
      const bool written = std::fwrite(flash.data(), 1, flash.size(), out) == flash.size();
      if (std::fclose(out) == 0 && written) std::rename(temporary.c_str(), options_.flashOut.c_str());
    }
  }

  const Options& options_;
  std::FILE* log_;
  std::unique_ptr<SimDrive> drive_;
  std::vector<Fault> faults_;
  bool flashed_ = false;
};

// The mapped ring of one backstore.
class Ring {
 public:
  bool Open(const std::string& uio) {
    fd_ = ::open(uio.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return Fail("open " + uio);
    const std::string name = uio.substr(uio.rfind('/') + 1);
    std::ifstream sizeFile("/sys/class/uio/" + name + "/maps/map0/size");
    std::string text;
    if (!(sizeFile >> text)) return Fail("size of " + name);
    size_ = std::strtoull(text.c_str(), nullptr, 0);
    void* base = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (base == MAP_FAILED) return Fail("mmap " + uio);
    base_ = static_cast<uint8_t*>(base);
    mailbox_ = reinterpret_cast<Mailbox*>(base_);
    return true;
  }

  // Serves every command that is waiting; false when the ring is unusable.
  bool ServeWaiting(ModelDrive& drive) {
    uint32_t tail = mailbox_->cmd_tail;
    while (tail != __atomic_load_n(&mailbox_->cmd_head, __ATOMIC_ACQUIRE)) {
      const uint64_t at = uint64_t{mailbox_->cmdr_off} + tail;
      if (at + sizeof(Response) > size_) return Broken("entry beyond the mapping", at);
      uint8_t* entry = base_ + at;
      const EntryHeader* header = reinterpret_cast<const EntryHeader*>(entry);
      const uint32_t length = header->len_op & ~kOpMask;
      const uint32_t kind = header->len_op & kOpMask;
      if (length == 0) return Broken("entry of length 0", at);
      if (kind == kOpCommand) {
        drive.ReadOrders();
        if (!Serve(entry, drive)) return false;
      }
      // Padding, and task management notices (sent only when asked for), need no answer.
      tail = (tail + length) % mailbox_->cmdr_size;
      __atomic_store_n(&mailbox_->cmd_tail, tail, __ATOMIC_RELEASE);
      // Tells the kernel that an answer is there.
      const uint32_t wake = 0;
      if (::write(fd_, &wake, sizeof wake) != sizeof wake) return Fail("waking the kernel");
    }
    return true;
  }

  // Waits for the kernel's next signal, at most `milliseconds`.
  void Wait(int milliseconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) > 0) {
      uint32_t count = 0;
      if (::read(fd_, &count, sizeof count) < 0) std::perror("tcmu_drive: read");
    }
  }

 private:
  bool Broken(const char* what, uint64_t value) {
    std::fprintf(stderr, "tcmu_drive: %s (%llu)\n", what, static_cast<unsigned long long>(value));
    return false;
  }

  bool Fail(const std::string& what) {
    std::fprintf(stderr, "tcmu_drive: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
  }

  // The data area pieces of one command.
  struct Piece {
    uint8_t* data;
    size_t length;
  };

  bool Serve(uint8_t* entry, ModelDrive& drive) {
    // Everything the request holds is read before the answer overwrites it.
    const Request& request = *reinterpret_cast<const Request*>(entry);
    std::vector<Piece> pieces;
    size_t total = 0;
    const uint32_t count = request.iov_cnt;
    if (count > (size_ - (entry - base_) - offsetof(Request, iov)) / sizeof(RingIovec)) {
      return Broken("too many data pieces", count);
    }
    for (uint32_t i = 0; i < count; ++i) {
      RingIovec iov;
      std::memcpy(&iov, entry + offsetof(Request, iov) + i * sizeof(RingIovec), sizeof iov);
      if (iov.base > size_ || iov.length > size_ - iov.base) return Broken("data beyond the mapping", iov.base);
      pieces.push_back({base_ + iov.base, static_cast<size_t>(iov.length)});
      total += iov.length;
    }
    const uint64_t cdbOffset = request.cdb_off;
    if (cdbOffset >= size_) return Broken("command block beyond the mapping", cdbOffset);
    const uint8_t* block = base_ + cdbOffset;
    const size_t blockLength = std::min<size_t>(CommandSize(block[0]), size_ - cdbOffset);
    std::vector<uint8_t> copy(block, block + blockLength);

    std::vector<uint8_t> data(total);
    size_t at = 0;
    for (const Piece& piece : pieces) {
      std::memcpy(data.data() + at, piece.data, piece.length);
      at += piece.length;
    }
    const ModelDrive::Answer answer = drive.Serve(copy.data(), copy.size(), data);

    size_t left = answer.sent;
    at = 0;
    for (const Piece& piece : pieces) {
      const size_t n = std::min(left, piece.length);
      std::memcpy(piece.data, data.data() + at, n);
      at += n;
      left -= n;
    }
    Response& response = *reinterpret_cast<Response*>(entry);
    response.hdr.uflags = 0;
    response.scsi_status = answer.status;
    std::memset(response.sense_buffer, 0, kSenseBufferSize);
    if (answer.status == kCheckCondition) std::memcpy(response.sense_buffer, answer.sense.data(), 18);
    if (answer.dataIn && answer.status == kGood && answer.sent < total) {
      response.hdr.uflags = kReadLengthFlag;
      response.read_len = answer.sent;
    }
    return true;
  }

  int fd_ = -1;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  Mailbox* mailbox_ = nullptr;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  options.drive.node = "tcmu";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--uio") options.uio = value;
    else if (name == "--log") options.log = value;
    else if (name == "--control") options.control = value;
    else if (name == "--flash-out") options.flashOut = value;
    else if (name == "--vendor") options.drive.vendor = value;
    else if (name == "--product") options.drive.product = value;
    else if (name == "--revision") options.drive.revision = value;
    else if (name == "--revision-after-flash") options.drive.revisionAfterFlash = value;
    else if (name == "--flash-id" && value.size() == 8) {
      for (size_t b = 0; b < 4; ++b) options.drive.flashId[b] = Hex(value.substr(2 * b, 2));
    } else {
      return false;
    }
  }
  return !options.uio.empty() && !options.log.empty() && !options.control.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (argc % 2 == 0 || !ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: tcmu_drive --uio /dev/uioN --log FILE --control FILE [--vendor T] [--product T]\n"
                 "                  [--revision T] [--flash-id HEX8] [--revision-after-flash T] [--flash-out FILE]\n");
    return 2;
  }
  std::FILE* log = std::fopen(options.log.c_str(), "a");
  if (log == nullptr) {
    std::perror(options.log.c_str());
    return 1;
  }
  std::setvbuf(log, nullptr, _IOLBF, 0);
  Ring ring;
  if (!ring.Open(options.uio)) return 1;
  ModelDrive drive(options, log);
  for (;;) {
    drive.ReadOrders();
    if (!ring.ServeWaiting(drive)) {
      std::fprintf(stderr, "tcmu_drive: the command ring is broken\n");
      return 1;
    }
    ring.Wait(kIdlePollMs);
  }
}
