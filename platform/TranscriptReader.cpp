// Reading a transcript (platform/Transcript.h holds the format): a bounded
// reader of lines, one parser per kind of header line and of record, and
// the order of the records. Transcripts come from other people's machines:
// nothing here trusts a length it did not count.
#include <algorithm>
#include <cstring>
#include <istream>
#include <iterator>
#include <sstream>

#include "platform/Text.h"
#include "platform/Transcript.h"

namespace platform {

namespace {

using Kind = TranscriptRecord::Kind;

// --- Fields --------------------------------------------------------------------

// A quoted text at `at`; EscapedText leaves no quote inside it.
bool TakeQuoted(const std::string& line, size_t& at, std::string& text) {
  if (at >= line.size() || line[at] != '"') return false;
  const size_t close = line.find('"', at + 1);
  if (close == std::string::npos) return false;
  const std::optional<std::string> unescaped = UnescapedText(line.substr(at + 1, close - at - 1));
  if (!unescaped) return false;
  text = *unescaped;
  at = close + 1;
  return true;
}

// The one of `candidates` that `nameOf` calls `name`.
template <typename Value, size_t count>
bool FromName(const std::string& name, const Value (&candidates)[count], const char* (*nameOf)(Value),
              Value& value) {
  for (const Value candidate : candidates) {
    if (name == nameOf(candidate)) {
      value = candidate;
      return true;
    }
  }
  return false;
}

bool BoxKindFromName(const std::string& name, BoxKind& kind) {
  static const BoxKind kinds[] = {BoxKind::Warning, BoxKind::Error, BoxKind::Confirmation, BoxKind::Plain};
  return FromName(name, kinds, BoxKindName, kind);
}

bool BoxAnswerFromName(const std::string& name, BoxAnswer& answer) {
  static const BoxAnswer answers[] = {BoxAnswer::Yes, BoxAnswer::No, BoxAnswer::Ok, BoxAnswer::Closed};
  return FromName(name, answers, BoxAnswerName, answer);
}

// A record's parser sets `error` and returns false when its line is not as written.
struct Record {
  const std::string& text;               // the line after its time
  const std::vector<std::string>& words;  // `text` split at blanks
  TranscriptRecord& record;
  std::string& error;

  bool Fail(const std::string& why) {
    error = why;
    return false;
  }
};

// --- Records -------------------------------------------------------------------

// "> 3B 05 01 00 40 00 00 40 00 00 00 00  out 16384  60 s  data 0123456789abcdef"
bool ParseRequest(Record r) {
  if (r.words.size() != 17 && r.words.size() != 19) {
    return r.Fail("a command request must have 12 command bytes, a direction, a length and a time-out");
  }
  for (size_t i = 0; i < 12; ++i) {
    if (!ParseHexByte(r.words[1 + i], r.record.cdb[i])) {
      return r.Fail("\"" + EscapedText(r.words[1 + i]) + "\" is not a command byte");
    }
  }
  if (r.words[13] != "in" && r.words[13] != "out") return r.Fail("the direction must be in or out");
  r.record.direction = r.words[13] == "in" ? Direction::In : Direction::Out;
  uint64_t length = 0, timeout = 0;
  if (!ParseUnsigned(r.words[14], length) || !ParseUnsigned(r.words[15], timeout, 65535) || r.words[16] != "s") {
    return r.Fail("a command request needs its length and its time-out in seconds");
  }
  r.record.length = static_cast<uint32_t>(length);
  r.record.timeoutSeconds = static_cast<unsigned>(timeout);
  if (r.words.size() == 19) {
    if (r.words[17] != "data" || r.words[18].size() != 16 || r.record.direction != Direction::Out) {
      return r.Fail("only data sent to the drive has a digest");
    }
    r.record.dataDigest = r.words[18];
  }
  return true;
}

// The verdict, error code, status byte, sense and residual of an answer.
bool ParseOutcome(Record r, CommandOutcome& outcome) {
  const std::vector<std::string>& words = r.words;
  uint64_t value = 0;
  if (words[3] == "ok") {
    outcome.transportOk = true;
  } else if (words[3] == "timeout") {
    outcome.timedOut = true;
  } else if (words[3] != "failed") {
    return r.Fail("the verdict must be ok, failed or timeout");
  }
  if (!ParseUnsigned(words[5], value, INT32_MAX)) return r.Fail("\"" + EscapedText(words[5]) + "\" is not an error code");
  outcome.sysError = static_cast<int>(value);
  if (!ParseHexByte(words[7], outcome.status)) return r.Fail("\"" + EscapedText(words[7]) + "\" is not a status byte");
  if (words[9] != "-") {
    if (words[9].size() != outcome.sense.size() * 2) return r.Fail("the sense must be 32 bytes in hex, or -");
    for (size_t i = 0; i < outcome.sense.size(); ++i) {
      if (!ParseHexByte(words[9].substr(2 * i, 2), outcome.sense[i])) {
        return r.Fail("the sense must be 32 bytes in hex, or -");
      }
    }
  }
  if (!ParseUnsigned(words[11], value)) return r.Fail("\"" + EscapedText(words[11]) + "\" is not a residual");
  outcome.residual = static_cast<uint32_t>(value);
  return true;
}

// "< 425 us  ok  errno 0  status 00  sense -  residual 0  library 04 00  data AAEC..."
bool ParseAnswer(Record r) {
  const std::vector<std::string>& words = r.words;
  const char* const libraryError = "the library's request and host adapter status must be two bytes in hex";
  const bool library = words.size() > 12 && words[12] == "library";
  if (library && words.size() < 15) return r.Fail(libraryError);
  const size_t dataAt = library ? 15 : 12;
  if ((words.size() != dataAt && words.size() != dataAt + 2) || words[2] != "us" || words[4] != "errno" ||
      words[6] != "status" || words[8] != "sense" || words[10] != "residual") {
    return r.Fail("a command answer must have its time, verdict, errno, status, sense and residual");
  }
  if (!ParseUnsigned(words[1], r.record.microseconds, UINT64_MAX / 2)) {
    return r.Fail("\"" + EscapedText(words[1]) + "\" is not a duration in microseconds");
  }
  if (!ParseOutcome(r, r.record.outcome)) return false;
  if (library) {
    LibraryStatus status;
    if (!ParseHexByte(words[13], status.request) || !ParseHexByte(words[14], status.hostAdapter)) {
      return r.Fail(libraryError);
    }
    r.record.library = status;
  }
  if (words.size() == dataAt + 2) {
    std::optional<std::vector<uint8_t>> data = words[dataAt] == "data" ? FromBase64(words[dataAt + 1]) : std::nullopt;
    if (!data || data->empty()) return r.Fail("the data from the drive must be in base64");
    r.record.dataIn = std::move(*data);
  }
  return true;
}

// box KIND "CAPTION" BUTTONS: TEXT
bool ParseBox(Record r) {
  const std::string& text = r.text;
  const size_t afterKind = r.words.size() < 3 ? 0 : 5 + r.words[1].size();
  size_t at = afterKind;
  if (afterKind == 0 || text.compare(0, 4, "box ") != 0 || text.compare(4, r.words[1].size(), r.words[1]) != 0 ||
      !BoxKindFromName(r.words[1], r.record.boxKind) || afterKind >= text.size() || text[afterKind - 1] != ' ') {
    return r.Fail("a box must name its kind (Warning, Error, Confirmation or Plain)");
  }
  if (!TakeQuoted(text, at, r.record.caption)) return r.Fail("a box must have its caption in quotes");
  static const std::string kYesNo = " Yes/No: ", kOk = " OK: ";
  if (text.compare(at, kYesNo.size(), kYesNo) == 0) {
    r.record.buttons = BoxButtons::YesNo;
    at += kYesNo.size();
  } else if (text.compare(at, kOk.size(), kOk) == 0) {
    r.record.buttons = BoxButtons::Ok;
    at += kOk.size();
  } else {
    return r.Fail("a box must name its buttons (Yes/No or OK)");
  }
  const std::optional<std::string> shown = UnescapedText(text.substr(at));
  if (!shown) return r.Fail("the box's text has a byte that was not escaped");
  r.record.shown = *shown;
  return true;
}

// "answer Yes"
bool ParseBoxAnswer(Record r) {
  if (r.words.size() != 2 || !BoxAnswerFromName(r.words[1], r.record.answer)) {
    return r.Fail("an answer must be Yes, No, OK or Closed");
  }
  return true;
}

// status "TEXT"
bool ParseStatus(Record r) {
  size_t at = 7;
  if (r.text.size() < 9 || r.text[6] != ' ' || !TakeQuoted(r.text, at, r.record.shown) || at != r.text.size()) {
    return r.Fail("a status line must have its text in quotes");
  }
  return true;
}

// combo insert INDEX "TEXT"
bool ParseComboInsert(Record r) {
  uint64_t index = 0;
  if (r.words.size() < 4 || r.words[1] != "insert" || !ParseUnsigned(r.words[2], index, INT32_MAX)) {
    return r.Fail("a drive box entry must be \"combo insert\", its index and its text");
  }
  r.record.index = static_cast<int>(index);
  size_t at = 14 + r.words[2].size();
  if (!TakeQuoted(r.text, at, r.record.shown) || at != r.text.size()) {
    return r.Fail("a drive box entry must have its text in quotes");
  }
  return true;
}

// "stop", "stop SIGTERM", "held SIGHUP": what asked, in the program's own words.
bool ParseStopOrHeld(Record r) {
  const std::string& kind = r.words[0];
  const bool alone = r.text == kind;
  const std::string cause = alone || r.text.size() <= kind.size() ? std::string() : r.text.substr(kind.size() + 1);
  const bool named = !alone && r.text.compare(0, kind.size() + 1, kind + " ") == 0 && IsStopCause(cause);
  if ((!alone && !named) || (alone && kind == kHeldLine)) {
    return r.Fail("\"" + kind + "\" must be followed by what asked to stop (SIGINT, SIGTERM, window closed, ...)");
  }
  r.record.shown = cause;
  return true;
}

bool ParseErrorsShown(Record r) {
  if (r.text != kErrorsShownLine) return r.Fail("\"errors shown\" stands alone");
  return true;
}

// "filters yes" or "filters no"
bool ParseFilters(Record r) {
  if (r.words.size() != 2 || (r.words[1] != "yes" && r.words[1] != "no")) {
    return r.Fail("\"filters\" must be followed by yes or no");
  }
  r.record.filters = r.words[1] == "yes";
  return true;
}

// "hold ok", or "hold errno 16 busy "/dev/sr0""
bool ParseHold(Record r) {
  const std::vector<std::string>& words = r.words;
  if (words.size() == 2 && words[1] == "ok") return true;
  uint64_t code = 0;
  const bool busy = words.size() >= 4 && words[3] == "busy";
  const std::string prefix = "hold errno " + (words.size() >= 3 ? words[2] : std::string()) + (busy ? " busy " : " ");
  size_t at = prefix.size();
  if (words.size() < 4 || words[1] != "errno" || !ParseUnsigned(words[2], code, INT32_MAX) || code == 0 ||
      r.text.compare(0, prefix.size(), prefix) != 0 || !TakeQuoted(r.text, at, r.record.hold.node) ||
      at != r.text.size()) {
    return r.Fail("a hold must be \"hold ok\", or its error code, \"busy\" where the drive was in use, and the node in quotes");
  }
  r.record.hold.sysError = static_cast<int>(code);
  r.record.hold.inUse = busy;
  return true;
}

// "end" or "end exception"
bool ParseEnd(Record r) {
  if (r.words.size() == 2 && r.words[1] == "exception") {
    r.record.exception = true;
  } else if (r.words.size() != 1) {
    return r.Fail("\"end\" or \"end exception\" ends a transcript");
  }
  return true;
}

// Each kind of record by the first word of its line.
struct RecordKind {
  const char* word;
  Kind kind;
  bool (*parse)(Record);
};
const RecordKind kRecordKinds[] = {
    {">", Kind::Request, ParseRequest},         {"<", Kind::Answer, ParseAnswer},
    {"box", Kind::Box, ParseBox},               {"answer", Kind::BoxAnswer, ParseBoxAnswer},
    {"status", Kind::Status, ParseStatus},      {"combo", Kind::ComboInsert, ParseComboInsert},
    {kStopLine, Kind::Stop, ParseStopOrHeld},   {kHeldLine, Kind::Held, ParseStopOrHeld},
    {"errors", Kind::ErrorsShown, ParseErrorsShown}, {"filters", Kind::Filters, ParseFilters},
    {"hold", Kind::Hold, ParseHold},            {"end", Kind::End, ParseEnd},
};

// "@SECONDS.MICROS RECORD": the time, then the record by its first word.
bool ParseRecord(const std::string& line, TranscriptRecord& record, std::string& error) {
  if (line.empty() || line[0] != '@') {
    error = "a record must start with \"@\" and its time";
    return false;
  }
  const size_t blank = line.find(' ');
  if (blank == std::string::npos) {
    error = "a time without a record";
    return false;
  }
  const std::string time = line.substr(1, blank - 1);
  const size_t dot = time.find('.');
  uint64_t whole = 0, fraction = 0;
  if (dot == std::string::npos || dot + 7 != time.size() || !ParseUnsigned(time.substr(0, dot), whole) ||
      !ParseUnsigned(time.substr(dot + 1), fraction)) {
    error = "\"" + EscapedText(time) + "\" is not a time in seconds with six decimals";
    return false;
  }
  record.seconds = static_cast<double>(whole) + static_cast<double>(fraction) / 1e6;
  record.text = line.substr(blank + 1);
  const std::vector<std::string> words = SplitWords(record.text);
  if (words.empty()) {
    error = "an empty record";
    return false;
  }
  for (const RecordKind& kind : kRecordKinds) {
    if (words[0] != kind.word) continue;
    record.kind = kind.kind;
    return kind.parse(Record{record.text, words, record, error});
  }
  error = "\"" + EscapedText(words[0]) + "\" is not a record of a transcript";
  return false;
}

// --- Header --------------------------------------------------------------------

bool ParseProgramLine(const std::string& line, TranscriptHeader& header, std::string& error) {
  if (line.rfind("program ", 0) != 0) {
    error = "the second line must name the program's version";
    return false;
  }
  static const std::string kCommandLine = " command-line";
  header.commandLine = line.size() > 8 + kCommandLine.size() &&
                       line.compare(line.size() - kCommandLine.size(), kCommandLine.size(), kCommandLine) == 0;
  header.programVersion = line.substr(8, line.size() - 8 - (header.commandLine ? kCommandLine.size() : 0));
  if (header.programVersion != ProgramVersion()) {
    error = "the transcript was written by version " + EscapedText(header.programVersion) +
            " of the program; this is version " + ProgramVersion() + ", which replays only its own transcripts";
    return false;
  }
  return true;
}

bool ParseStartedLine(const std::string& line, TranscriptHeader& header, std::string& error) {
  if (line.rfind("started ", 0) != 0 || line.size() != 28) {
    error = "the third line must give the time the flash started (\"started 2026-12-07T22:14:08Z\")";
    return false;
  }
  header.started = line.substr(8);
  return true;
}

// package "VENDOR" "MODEL" "VERSION" LENGTH sha256 HEX
bool ParsePackageLine(const std::string& line, TranscriptHeader& header, std::string& error) {
  size_t at = 8;
  if (line.rfind("package ", 0) != 0 || !TakeQuoted(line, at, header.packageVendor) || at >= line.size() ||
      line[at++] != ' ' || !TakeQuoted(line, at, header.packageModel) || at >= line.size() || line[at++] != ' ' ||
      !TakeQuoted(line, at, header.packageVersion)) {
    error = "the fourth line must name the package's vendor, model and version in quotes";
    return false;
  }
  const std::vector<std::string> rest = SplitWords(line.substr(at));
  uint64_t length = 0;
  if (rest.size() != 3 || !ParseUnsigned(rest[0], length) || rest[1] != "sha256" || rest[2].size() != 64) {
    error = "the fourth line must give the image's length and its SHA-256";
    return false;
  }
  header.imageLength = static_cast<uint32_t>(length);
  header.imageSha256 = rest[2];
  return true;
}

// The drive line's "host:channel:target:lun" from `at` up to the next blank.
bool ParseAddress(const std::string& line, size_t& at, TranscriptHeader& header) {
  const size_t blank = line.find(' ', at);
  if (blank == std::string::npos) return false;
  uint64_t parts[4] = {};
  for (size_t part = 0; part < 4; ++part) {
    const size_t colon = part < 3 ? line.find(':', at) : blank;
    if (colon == std::string::npos || colon > blank || !ParseUnsigned(line.substr(at, colon - at), parts[part], 255)) {
      return false;
    }
    at = colon + 1;
  }
  header.host = static_cast<uint8_t>(parts[0]);
  header.channel = static_cast<uint8_t>(parts[1]);
  header.target = static_cast<uint8_t>(parts[2]);
  header.lun = static_cast<uint8_t>(parts[3]);
  return true;
}

// drive "NODE" H:C:T:L "ENTRY" [found "IDENTITY"]
bool ParseDriveLine(const std::string& line, TranscriptHeader& header, std::string& error) {
  size_t at = 6;
  if (line.rfind("drive ", 0) != 0 || !TakeQuoted(line, at, header.driveNode) || at >= line.size() ||
      line[at++] != ' ') {
    error = "the fifth line must name the drive's node in quotes";
    return false;
  }
  if (!ParseAddress(line, at, header)) {
    error = "the fifth line must give the drive's address as host:channel:target:lun";
    return false;
  }
  if (!TakeQuoted(line, at, header.driveIdentity)) {
    error = "the fifth line must end with the drive's entry in quotes";
    return false;
  }
  // The identity the start-up found, where the entry holds none.
  if (at == line.size()) return true;
  const std::string found = " found ";
  const bool named = line.compare(at, found.size(), found) == 0;
  if (named) at += found.size();
  if (!named || !TakeQuoted(line, at, header.foundIdentity) || at != line.size()) {
    error = "the fifth line must end with the drive's entry in quotes, and may add: found \"IDENTITY\"";
    return false;
  }
  return true;
}

// The header's lines after the first, in order.
using HeaderLineParser = bool (*)(const std::string&, TranscriptHeader&, std::string&);
const HeaderLineParser kHeaderLineParsers[] = {ParseProgramLine, ParseStartedLine, ParsePackageLine, ParseDriveLine};
static_assert(std::size(kHeaderLineParsers) + 1 == kTranscriptHeaderLines);

// --- Lines ---------------------------------------------------------------------

// The lines of a transcript, one at a time, never more of the input than
// one line past the limits: a line longer than any record, a file larger
// than any flash's transcript, or a first line that is not a transcript's
// is refused without reading on.
class LineReader {
 public:
  explicit LineReader(std::istream& in) : in_(*in.rdbuf()) {}

  // The next line (without its line feed, nor a carriage return before it):
  // true; false at the end of the input (error empty) or on a refusal.
  bool Next(std::string& line, std::string& error) {
    line.clear();
    ++number_;
    const size_t limit = number_ == 1 ? std::strlen(kTranscriptFirstLine) : kTranscriptLineLimit;
    for (;;) {
      const std::streambuf::int_type c = in_.sbumpc();
      if (c == std::streambuf::traits_type::eof()) {
        if (!line.empty()) error = Where() + "the transcript ends in the middle of a line (it was cut off)";
        return false;
      }
      if (++size_ > kTranscriptSizeLimit) {
        error = Where() + "the file is larger than any flash's transcript can be (" +
                std::to_string(kTranscriptSizeLimit) + " bytes)";
        return false;
      }
      if (c == '\n') break;
      if (line.size() >= limit + 1) return Refuse(error);  // a carriage return may follow the text
      line += static_cast<char>(c);
      // A file that is not a transcript is refused at its first byte that says so.
      if (number_ == 1 && !IsFirstLineSoFar(line)) return Refuse(error);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();  // copied through a Windows editor
    if (number_ == 1 && line != kTranscriptFirstLine) return Refuse(error);
    return true;
  }

  size_t Number() const { return number_; }

 private:
  std::string Where() const { return "line " + std::to_string(number_) + ": "; }

  static bool IsFirstLineSoFar(const std::string& line) {
    const std::string first = std::string(kTranscriptFirstLine) + "\r";
    return first.compare(0, line.size(), line) == 0;
  }

  bool Refuse(std::string& error) const {
    if (number_ == 1) {
      error = Where() + "this is not a flashutil transcript (its first line must be \"" +
              std::string(kTranscriptFirstLine) + "\")";
    } else {
      error = Where() + "longer than any line of a transcript can be (" + std::to_string(kTranscriptLineLimit) +
              " bytes)";
    }
    return false;
  }

  std::streambuf& in_;
  size_t number_ = 0;
  size_t size_ = 0;
};

// --- Order ---------------------------------------------------------------------

// The order of the records: a command's request is followed by its answer,
// a box by the user's answer, nothing comes after "end". Requests held off
// come when they come, also while a command or a box waits for its answer:
// they are read after that answer.
class RecordOrder {
 public:
  // True with `record` taken into `records`; false with `error` set.
  bool Take(TranscriptRecord record, std::vector<TranscriptRecord>& records, std::string& error) {
    const Kind previous = records.empty() ? Kind::End : records.back().kind;
    const bool awaitsAnswer = !records.empty() && previous == Kind::Request;
    const bool awaitsBoxAnswer = !records.empty() && previous == Kind::Box;
    if (ended_) return Fail("a record after the transcript's end", error);
    if (record.kind == Kind::Held && (awaitsAnswer || awaitsBoxAnswer)) {
      heldMeanwhile_.push_back(std::move(record));
      return true;
    }
    if (awaitsAnswer && record.kind != Kind::Answer && record.kind != Kind::End) {
      return Fail("a command request must be followed by its answer", error);
    }
    if (record.kind == Kind::Answer && !awaitsAnswer) return Fail("an answer without its command request", error);
    if (awaitsBoxAnswer && record.kind != Kind::BoxAnswer && record.kind != Kind::End) {
      return Fail("a box must be followed by the user's answer", error);
    }
    if (record.kind == Kind::BoxAnswer && !awaitsBoxAnswer) return Fail("an answer without its box", error);
    if (record.kind == Kind::Answer && !BringsWhatItsRequestAsked(record, records.back())) {
      return Fail("the answer brings more data than its command asked for", error);
    }
    if (record.kind == Kind::Answer && record.outcome.residual > records.back().length) {
      return Fail("the answer's residual is larger than its command's length", error);
    }
    ended_ = record.kind == Kind::End;
    if (ended_) MoveHeld(records);
    records.push_back(std::move(record));
    MoveHeld(records);
    return true;
  }

  bool Ended() const { return ended_; }

 private:
  static bool Fail(const char* why, std::string& error) {
    error = why;
    return false;
  }
  // Data only where the command asked for data from the drive, and no more
  // of it than it asked for.
  static bool BringsWhatItsRequestAsked(const TranscriptRecord& answer, const TranscriptRecord& request) {
    const uint32_t arrived = request.direction == Direction::In ? request.length : 0;
    return answer.dataIn.size() <= arrived;
  }
  void MoveHeld(std::vector<TranscriptRecord>& records) {
    records.insert(records.end(), heldMeanwhile_.begin(), heldMeanwhile_.end());
    heldMeanwhile_.clear();
  }

  bool ended_ = false;
  std::vector<TranscriptRecord> heldMeanwhile_;
};

// The header's five lines; false with `error` naming the line.
bool ReadHeader(LineReader& lines, TranscriptHeader& header, std::string& error) {
  std::string line;
  for (size_t n = 0; n < kTranscriptHeaderLines; ++n) {
    if (!lines.Next(line, error)) {
      if (error.empty()) {
        error = "line " + std::to_string(lines.Number()) +
                ": the transcript ends inside its header (it was cut off, or is not a transcript)";
      }
      return false;
    }
    if (n > 0 && !kHeaderLineParsers[n - 1](line, header, error)) {
      error = "line " + std::to_string(lines.Number()) + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace

TranscriptReadResult ReadTranscript(std::istream& in) {
  TranscriptReadResult result;
  LineReader lines(in);
  ParsedTranscript parsed;
  if (!ReadHeader(lines, parsed.header, result.error)) return result;
  RecordOrder order;
  std::string line, error;
  while (lines.Next(line, result.error)) {
    if (parsed.records.size() >= kTranscriptRecordLimit) {
      result.error = "line " + std::to_string(lines.Number()) + ": more records than any flash's transcript has (" +
                     std::to_string(kTranscriptRecordLimit) + ")";
      return result;
    }
    TranscriptRecord record;
    record.line = lines.Number();
    if (!ParseRecord(line, record, error) || !order.Take(std::move(record), parsed.records, error)) {
      result.error = "line " + std::to_string(lines.Number()) + ": " + error;
      return result;
    }
  }
  if (!result.error.empty()) return result;
  if (!order.Ended()) {
    result.error = "line " + std::to_string(lines.Number()) +
                   ": the transcript ends without its \"end\" line (it was cut off while the flash ran)";
    return result;
  }
  result.transcript = std::move(parsed);
  return result;
}

TranscriptReadResult ReadTranscript(const std::string& text) {
  std::istringstream in(text);
  return ReadTranscript(in);
}

}  // namespace platform
