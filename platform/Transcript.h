// The transcript of a flash: every command sent to the drive with its
// answer, and every text the user was shown, with times, written line by
// line as the flash goes, each line handed to the system at once, so that a
// crash keeps what happened until then; before the drive starts programming
// its flash the file is synced, so that a power loss keeps it too. Read back, a transcript lets the
// simulated drive answer as the recorded drive did (platform/sim/ReplayTransport).
//
// This file is the one home of the format; the tests' run log
// (tests/support/RunLog.h) writes its command, box and status lines with the
// same functions. A transcript looks like this:
//
//   flashutil transcript 1
//   program 1.0.4.8 command-line
//   started 2026-12-07T22:14:08Z
//   package "VOX-TEL" "QRD-73318K" "Q150" 524288 sha256 9f86d08...
//   drive "/dev/sg1" 0:0:0:0 "0-0-0 : VOX-TEL QRD-73318K      Q120"
//   @0.000300 filters no
//   @0.000412 box Confirmation "Confirm" Yes/No: \nUpdate Firmware Q120 to Q150 ?\n
//   @1.204000 answer Yes
//   @1.204100 hold ok
//   @1.204187 > 1B 00 00 00 03 00 00 00 00 00 00 00  in 0  60 s
//   @1.204612 < 425 us  ok  errno 0  status 00  sense -  residual 0
//   @1.300000 status "Write BIN to drive's DRAM... "
//   @1.300100 > 3B 05 01 00 00 00 00 40 00 00 00 00  out 16384  60 s  data 0123456789abcdef
//   @1.301100 < 1000 us  ok  errno 0  status 00  sense -  residual 0
//   @2.100000 > 3C 01 01 00 00 00 00 40 00 00 00 00  in 16384  60 s
//   @2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  data AAECAw...
//   @9.000000 combo insert 0 "0-0-0 : VOX-TEL QRD-73318K      Q150"
//   @9.100000 end
//
// The program line names the version, and "command-line" where flashutil-pack
// ran the flash. The drive line ends with the drive box's entry; where that holds no
// identity ("0": an INQUIRY of the start-up failed after the first had found
// the drive), it adds the identity found: found "0-0-0 : VOX-TEL ...".
// Each line after the five header lines starts with "@" and the seconds since
// the flash began. A command is a request line (">", written before the
// command is sent) and an answer line ("<", written when it has ended): the
// time it took in microseconds; the transport's verdict (ok, failed, or
// timeout when the system's time-out ended it) and the system's error code;
// the SCSI status; the 32 sense bytes in hex, or "-" when there were none;
// the residual; for a command through the command library (ASPI),
// "library" with the request's status and the host adapter's status in hex,
// which its messages show; and for data from the drive the bytes that
// arrived, in base64. Data sent to the drive is kept as its digest. A text shown in a box
// is followed by the user's answer. "filters" tells whether the system lets
// only its safe commands through to the drive ("yes": the flash is refused).
// "errors shown", written only where it holds, comes next: a drive could
// not be opened at start-up, and from then on the program shows every
// command that fails in a box of its own, after the command's answer.
// "hold" tells whether the drive could be held exclusively for the flash:
// "hold ok", or the system's error code, "busy" where another program uses
// the drive, and the node that could not be held ("hold errno 16 busy
// "/dev/sr0""). "stop" and what asked for it ("stop SIGINT": Ctrl-C; "stop
// SIGTERM", "stop window closed", ...) stands where the flash took a request
// to stop, before its first write. "held" and what asked ("held SIGHUP")
// stands where a request came while the drive was being written: the flash
// held it off and went on to its end. The last line is "end", or "end
// exception" when the flash was ended by an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Services.h"
#include "platform/Transport.h"

namespace platform {

// --- Lines -------------------------------------------------------------------

inline constexpr const char* kTranscriptFirstLine = "flashutil transcript 1";
inline constexpr size_t kTranscriptHeaderLines = 5;
// What a reader takes from a file before it refuses it: no record a flash
// writes is longer than some 22 kB (an answer that carries a 16384-byte
// block in base64), and no flash writes a transcript of much more than
// 1.5 MB (a 512 KiB image written and read back, after 500 polls of a drive
// that is becoming ready, each failed command in a box of its own).
inline constexpr size_t kTranscriptLineLimit = 64 * 1024;
inline constexpr size_t kTranscriptSizeLimit = 4 * 1024 * 1024;
// No flash writes more than some 6,000 records (the same polls, each with
// its command's two lines and a box).
inline constexpr size_t kTranscriptRecordLimit = 20000;

// A text with its line feeds and other control bytes made visible ("\n",
// "\x1b", and a backslash as "\x5c"), so that every text stays on its line.
std::string EscapedText(const std::string& text);
// The text EscapedText made visible, as it was; nullopt when `shown` is not
// such a text.
std::optional<std::string> UnescapedText(const std::string& shown);

// 64-bit FNV-1a over 8-byte words and the bytes after the last whole word, in hex.
std::string DataDigest(const uint8_t* data, size_t size);

std::string Base64(const uint8_t* data, size_t size);
std::optional<std::vector<uint8_t>> FromBase64(const std::string& text);

// "> 3B 05 01 00 40 00 00 40 00 00 00 00  out 16384  60 s  data 0123456789abcdef":
// the data is what the drive received (direction out), none for data in.
std::string CommandRequestLine(const Cdb& cdb, Direction direction, uint32_t length, unsigned timeoutSeconds,
                               const uint8_t* dataOut = nullptr);
// The command library's own verdict on a command: its request's status and
// the host adapter's status.
struct LibraryStatus {
  uint8_t request = 0;
  uint8_t hostAdapter = 0;
  bool operator==(const LibraryStatus&) const = default;
};
// "< 425 us  ok  errno 0  status 00  sense -  residual 0  data AAEC...": `dataIn`
// holds the bytes that arrived (null or empty for none); `library` is there
// for a command through the command library ("library 04 00" after the residual).
std::string CommandAnswerLine(const CommandOutcome& outcome, uint64_t microseconds, const uint8_t* dataIn,
                              uint32_t dataInLength, const std::optional<LibraryStatus>& library = std::nullopt);

// "box Warning "Warning" Yes/No: \nWARNING !!!..." and the user's answer, "answer Yes".
std::string BoxShownLine(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons);
std::string BoxAnswerLine(BoxAnswer answer);
const char* BoxAnswerName(BoxAnswer answer);
const char* BoxKindName(BoxKind kind);

// The status line, quoted: its blanks at the end count.
std::string StatusShownLine(const std::string& text);
// An entry of the drive box, replaced by the drive's refreshed identity.
std::string ComboInsertShownLine(int index, const std::string& text);
// "hold ok", or "hold errno 16 busy "/dev/sr0"".
std::string HoldLine(const HoldOutcome& outcome);
// "filters yes" or "filters no".
std::string FiltersLine(bool filters);
inline constexpr const char* kStopLine = "stop";
inline constexpr const char* kHeldLine = "held";
// What asked to stop, as the program names it ("SIGTERM", "window closed"):
// letters and digits, and single blanks between words.
bool IsStopCause(const std::string& cause);
// "stop SIGTERM", or "stop" where nothing names the request; "held SIGTERM".
std::string StopShownLine(const std::string& cause);
std::string HeldShownLine(const std::string& cause);
inline constexpr const char* kErrorsShownLine = "errors shown";

// --- Writing -------------------------------------------------------------------

// Where a transcript's lines go: each line is written whole and flushed to
// the system before WriteLine returns.
class TranscriptSink {
 public:
  virtual ~TranscriptSink() = default;
  // False when the line could not be written (the flash goes on).
  virtual bool WriteLine(const std::string& line) = 0;
  // Asks the system to put what was written on the disk, so that it
  // survives a power loss.
  virtual void Sync() {}
  // The file the lines go to, for messages; empty when there is none.
  virtual std::string Where() const = 0;
};

// Makes the sink of a new transcript. `name` is a file name without a folder
// ("flash-20261207-221408-sg1.txt"); the store chooses where it goes and
// does not replace an existing transcript. Null when none could be made.
class TranscriptStore {
 public:
  virtual ~TranscriptStore() = default;
  virtual std::unique_ptr<TranscriptSink> Create(const std::string& name) = 0;
  // The file of the last transcript Create made; empty when it made none.
  virtual std::string LastPath() const = 0;
  // Why the last Create made none ("cannot create ...: reason", "no
  // transcript: ..."); empty when it made one.
  virtual std::string LastError() const = 0;
};

// Transcripts as files in the user's state folder: $XDG_STATE_HOME/flashutil
// (or ~/.local/state/flashutil), %LOCALAPPDATA%\flashutil on Windows; the
// folder is made when missing. On POSIX systems the folder must be the
// user's alone: a folder, not a link, owned by the user the program runs as
// (its effective user), that neither its group nor others may write; a
// missing one is made so, with its missing parents. Into any other folder
// no transcript goes (a program run as root with another user's
// environment would write into a folder that user controls), and
// LastError says why ("no transcript: the transcript folder F is writable
// by others: ...").
class FolderTranscriptStore final : public TranscriptStore {
 public:
  // `folder` empty: the user's state folder.
  explicit FolderTranscriptStore(std::string folder = {});
  std::unique_ptr<TranscriptSink> Create(const std::string& name) override;
  std::string LastPath() const override { return path_; }
  std::string LastError() const override { return error_; }
  // The user's state folder for transcripts; empty when the system names none.
  static std::string DefaultFolder();

 private:
  std::string folder_;
  std::string path_;
  std::string error_;
};

// Transcripts kept in memory, each as its text: for a replay, which
// compares the flash it runs with the recorded one and leaves no file.
class MemoryTranscriptStore final : public TranscriptStore {
 public:
  std::unique_ptr<TranscriptSink> Create(const std::string& name) override;
  std::string LastPath() const override { return texts_.empty() ? std::string() : "memory:" + names_.back(); }
  std::string LastError() const override { return {}; }
  // Every transcript made so far, oldest first.
  std::vector<std::string> Texts() const;

 private:
  std::vector<std::string> names_;
  std::vector<std::shared_ptr<std::string>> texts_;
};

// The name of a store's `attempt`th try at a new transcript called `name`:
// the name itself, then "-2", "-3", ... before its extension, so that two
// flashes within one second keep both transcripts.
std::string TranscriptFileName(const std::string& name, int attempt);

// What a transcript's header says.
struct TranscriptHeader {
  std::string programVersion;  // "1.0.4.8"
  // The flash ran in flashutil-pack, on a terminal or in a script ("program
  // 1.0.4.8 command-line"): the restart offer was a closing line there, not
  // a question.
  bool commandLine = false;
  std::string started;         // UTC, "2026-12-07T22:14:08Z"
  std::string packageVendor;
  std::string packageModel;
  std::string packageVersion;
  uint32_t imageLength = 0;
  std::string imageSha256;     // of the image's first imageLength bytes, lower-case hex
  std::string driveNode;       // "/dev/sg1", or the address where the drive has no node
  uint8_t host = 0, channel = 0, target = 0, lun = 0;
  std::string driveIdentity;   // the drive box's entry: "0-0-0 : VOX-TEL QRD-73318K      Q120"
  // Where the entry holds no identity ("0": an INQUIRY after the first
  // failed), the identity that the drive's first INQUIRY found and the
  // start-up checked it with; empty otherwise.
  std::string foundIdentity;
};

// The running flash's transcript. Commands may be written from the thread
// that runs a blocking call; lines never interleave.
class Transcript {
 public:
  Transcript(std::unique_ptr<TranscriptSink> sink, const TranscriptHeader& header);
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  void Request(const Cdb& cdb, Direction direction, uint32_t length, unsigned timeoutSeconds, const uint8_t* dataOut);
  void Answer(const CommandOutcome& outcome, uint64_t microseconds, const uint8_t* dataIn, uint32_t dataInLength,
              const std::optional<LibraryStatus>& library = std::nullopt);
  void Box(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons);
  void BoxAnswered(BoxAnswer answer);
  void Status(const std::string& text);
  void ComboInsert(int index, const std::string& text);
  void Hold(const HoldOutcome& outcome);
  void Filters(bool filters);
  void ErrorsShown();
  // "stop" and the request's cause, the first time only.
  void Stopped(const std::string& cause);
  // "held" and the request's cause: a request held off while the drive was
  // being written. May be called from any thread.
  void Held(const std::string& cause);
  // "end", or "end exception" when `exception`; nothing is written after it.
  void End(bool exception);
  // Puts what was written so far on the disk (before the drive starts
  // programming its flash, when a power loss would matter most).
  void Sync();

  std::string Where() const;
  // False once a line could not be written.
  bool Intact() const { return intact_; }

 private:
  void Timed(const std::string& record);

  std::unique_ptr<TranscriptSink> sink_;
  std::mutex mutex_;
  uint64_t startMicroseconds_ = 0;
  bool ended_ = false;
  bool stopped_ = false;
  bool intact_ = true;
};

// The transcript of the flash that runs now in the default service context,
// or null. The flash sets it in its context for its duration; the drive's
// commands and the message boxes write to it.
Transcript* ActiveTranscript();
void SetActiveTranscript(Transcript* transcript);

// The program's version, as its transcripts name it.
const char* ProgramVersion();

// A monotonic clock in microseconds (the times of a transcript).
uint64_t MonotonicMicroseconds();

// --- Reading -------------------------------------------------------------------

struct TranscriptRecord {
  enum class Kind { Request, Answer, Box, BoxAnswer, Status, ComboInsert, Hold, Filters, ErrorsShown, Stop, Held, End };
  Kind kind = Kind::End;
  size_t line = 0;       // 1-based line number in the transcript
  double seconds = 0;    // the "@" time
  std::string text;      // the line after its time, as written

  // Request
  Cdb cdb{};
  Direction direction = Direction::In;
  uint32_t length = 0;
  unsigned timeoutSeconds = 0;
  std::string dataDigest;  // data out; empty when none
  // Answer
  uint64_t microseconds = 0;
  CommandOutcome outcome;
  std::vector<uint8_t> dataIn;
  std::optional<LibraryStatus> library;  // through the command library
  // Box, BoxAnswer, Status, ComboInsert
  BoxKind boxKind = BoxKind::Plain;
  std::string caption;
  std::string shown;  // the box's or status line's text, unescaped; Stop, Held: what asked
  BoxButtons buttons = BoxButtons::Ok;
  BoxAnswer answer = BoxAnswer::Ok;
  int index = 0;
  HoldOutcome hold;        // Hold
  bool filters = false;    // Filters
  bool exception = false;  // End
};

struct ParsedTranscript {
  TranscriptHeader header;
  std::vector<TranscriptRecord> records;
};

// Reads a transcript, a line at a time. A transcript from another program
// version, one that ends before its "end" line, and any line that is not
// as written above are refused: the error then names the line ("line 7:
// ..."). A file that is not a transcript is refused at its first line, a
// line longer than kTranscriptLineLimit, a file larger than
// kTranscriptSizeLimit and more records than kTranscriptRecordLimit where
// they pass the limit, without reading on: what a reader holds stays within
// some megabytes whatever it is given.
struct TranscriptReadResult {
  std::optional<ParsedTranscript> transcript;
  std::string error;
};
TranscriptReadResult ReadTranscript(std::istream& in);
TranscriptReadResult ReadTranscript(const std::string& text);

}  // namespace platform
