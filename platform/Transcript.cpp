#include "platform/Transcript.h"

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kHeaderLines = 5;

std::atomic<Transcript*> active{nullptr};

std::string Hex2(uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHexByte(const std::string& text, uint8_t& byte) {
  if (text.size() != 2 || HexValue(text[0]) < 0 || HexValue(text[1]) < 0) return false;
  byte = static_cast<uint8_t>(HexValue(text[0]) * 16 + HexValue(text[1]));
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t& value, uint64_t maximum = UINT32_MAX) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (maximum - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// Splits at runs of blanks.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const size_t end = text.find(' ', at);
    if (at < text.size()) words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end;
  }
  return words;
}

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

}  // namespace

// --- Lines -------------------------------------------------------------------

std::string EscapedText(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == '"' || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::optional<std::string> UnescapedText(const std::string& shown) {
  std::string text;
  for (size_t i = 0; i < shown.size(); ++i) {
    const char c = shown[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"') return std::nullopt;
    if (c != '\\') {
      text += c;
      continue;
    }
    if (i + 1 < shown.size() && shown[i + 1] == 'n') {
      text += '\n';
      i += 1;
      continue;
    }
    uint8_t byte = 0;
    if (i + 3 < shown.size() && shown[i + 1] == 'x' && ParseHexByte(shown.substr(i + 2, 2), byte)) {
      text += static_cast<char>(byte);
      i += 3;
      continue;
    }
    return std::nullopt;
  }
  return text;
}

std::string DataDigest(const uint8_t* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325u;
  size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    uint64_t word;
    std::memcpy(&word, data + at, 8);
    hash = (hash ^ word) * 0x100000001b3u;
  }
  for (; at < size; ++at) hash = (hash ^ data[at]) * 0x100000001b3u;
  char text[20];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

std::string Base64(const uint8_t* data, size_t size) {
  // Written in place: a read-back brings half a megabyte per flash.
  std::string text((size + 2) / 3 * 4, '=');
  char* out = text.data();
  size_t at = 0;
  for (; at + 3 <= size; at += 3, out += 4) {
    const uint32_t group = (uint32_t{data[at]} << 16) | (uint32_t{data[at + 1]} << 8) | data[at + 2];
    out[0] = kBase64Alphabet[group >> 18];
    out[1] = kBase64Alphabet[(group >> 12) & 63];
    out[2] = kBase64Alphabet[(group >> 6) & 63];
    out[3] = kBase64Alphabet[group & 63];
  }
  if (at < size) {
    const uint32_t group = (uint32_t{data[at]} << 16) | (at + 1 < size ? uint32_t{data[at + 1]} << 8 : 0);
    out[0] = kBase64Alphabet[group >> 18];
    out[1] = kBase64Alphabet[(group >> 12) & 63];
    if (at + 1 < size) out[2] = kBase64Alphabet[(group >> 6) & 63];
  }
  return text;
}

std::optional<std::vector<uint8_t>> FromBase64(const std::string& text) {
  // Each character's value, 64 for one outside the alphabet.
  static const std::array<uint8_t, 256> values = [] {
    std::array<uint8_t, 256> table{};
    table.fill(64);
    for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kBase64Alphabet[i])] = i;
    return table;
  }();
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> data;
  data.reserve(text.size() / 4 * 3);
  for (size_t at = 0; at < text.size(); at += 4) {
    uint32_t group = 0;
    int padding = 0;
    for (size_t i = 0; i < 4; ++i) {
      const char c = text[at + i];
      uint32_t value = 0;
      if (c == '=' && at + 4 == text.size() && i >= 2 && (i == 3 || text[at + 3] == '=')) {
        ++padding;
      } else if (padding > 0) {
        return std::nullopt;
      } else {
        value = values[static_cast<uint8_t>(c)];
        if (value == 64) return std::nullopt;
      }
      group = (group << 6) | value;
    }
    data.push_back(static_cast<uint8_t>(group >> 16));
    if (padding < 2) data.push_back(static_cast<uint8_t>(group >> 8));
    if (padding < 1) data.push_back(static_cast<uint8_t>(group));
  }
  return data;
}

std::string CommandRequestLine(const Cdb& cdb, Direction direction, uint32_t length, unsigned timeoutSeconds,
                               const uint8_t* dataOut) {
  std::string line = ">";
  for (const uint8_t byte : cdb) line += " " + Hex2(byte);
  line += direction == Direction::In ? "  in " : "  out ";
  line += std::to_string(length) + "  " + std::to_string(timeoutSeconds) + " s";
  if (direction == Direction::Out && length > 0 && dataOut != nullptr) line += "  data " + DataDigest(dataOut, length);
  return line;
}

std::string CommandAnswerLine(const CommandOutcome& outcome, uint64_t microseconds, const uint8_t* dataIn,
                              uint32_t dataInLength, const std::optional<LibraryStatus>& library) {
  std::string line = "< " + std::to_string(microseconds) + " us  ";
  line += outcome.timedOut ? "timeout" : outcome.transportOk ? "ok" : "failed";
  line += "  errno " + std::to_string(outcome.sysError);
  line += "  status " + Hex2(outcome.status);
  bool sense = false;
  for (const uint8_t byte : outcome.sense) sense = sense || byte != 0;
  line += "  sense ";
  if (sense) {
    for (const uint8_t byte : outcome.sense) line += Hex2(byte);
  } else {
    line += "-";
  }
  line += "  residual " + std::to_string(outcome.residual);
  if (library) line += "  library " + Hex2(library->request) + " " + Hex2(library->hostAdapter);
  if (dataIn != nullptr && dataInLength > 0) line += "  data " + Base64(dataIn, dataInLength);
  return line;
}

const char* BoxKindName(BoxKind kind) {
  switch (kind) {
    case BoxKind::Warning:
      return "Warning";
    case BoxKind::Error:
      return "Error";
    case BoxKind::Confirmation:
      return "Confirmation";
    case BoxKind::Plain:
      break;
  }
  return "Plain";
}

const char* BoxAnswerName(BoxAnswer answer) {
  switch (answer) {
    case BoxAnswer::Yes:
      return "Yes";
    case BoxAnswer::No:
      return "No";
    case BoxAnswer::Ok:
      return "OK";
    case BoxAnswer::Closed:
      break;
  }
  return "Closed";
}

std::string BoxShownLine(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) {
  return std::string("box ") + BoxKindName(kind) + " \"" + EscapedText(caption) + "\" " +
         (buttons == BoxButtons::YesNo ? "Yes/No" : "OK") + ": " + EscapedText(text);
}

std::string BoxAnswerLine(BoxAnswer answer) { return std::string("answer ") + BoxAnswerName(answer); }

std::string StatusShownLine(const std::string& text) { return "status \"" + EscapedText(text) + "\""; }

std::string ComboInsertShownLine(int index, const std::string& text) {
  return "combo insert " + std::to_string(index) + " \"" + EscapedText(text) + "\"";
}

std::string HoldLine(const HoldOutcome& outcome) {
  if (outcome.sysError == 0) return "hold ok";
  return "hold errno " + std::to_string(outcome.sysError) + (outcome.inUse ? " busy" : "") + " \"" +
         EscapedText(outcome.node) + "\"";
}

std::string FiltersLine(bool filters) { return filters ? "filters yes" : "filters no"; }

// What asked to stop is one of the program's own names: letters, digits and
// blanks between words.
namespace {
bool IsCauseText(const std::string& cause) {
  if (cause.empty() || cause.front() == ' ' || cause.back() == ' ' || cause.find("  ") != std::string::npos) {
    return cause.empty();
  }
  for (const char c : cause) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ')) return false;
  }
  return true;
}

// The cause after "stop " or "held " in a record's text; empty for "stop"
// alone; nullopt when the text is neither.
std::optional<std::string> StopCauseOf(const std::string& text, const std::string& kind) {
  if (text == kind) return std::string();
  if (text.compare(0, kind.size() + 1, kind + " ") != 0) return std::nullopt;
  const std::string cause = text.substr(kind.size() + 1);
  if (cause.empty() || !IsCauseText(cause)) return std::nullopt;
  return cause;
}

}  // namespace

std::string StopShownLine(const std::string& cause) {
  return IsCauseText(cause) && !cause.empty() ? std::string(kStopLine) + " " + cause : kStopLine;
}

std::string HeldShownLine(const std::string& cause) {
  return std::string(kHeldLine) + " " + (IsCauseText(cause) && !cause.empty() ? cause : "request");
}


// --- Writing -------------------------------------------------------------------

std::string TranscriptFileName(const std::string& name, int attempt) {
  if (attempt <= 1) return name;
  const size_t dot = name.rfind('.');
  std::string file = name;
  file.insert(dot == std::string::npos ? file.size() : dot, "-" + std::to_string(attempt));
  return file;
}

namespace {

class MemorySink final : public TranscriptSink {
 public:
  MemorySink(std::shared_ptr<std::string> text, std::string name) : text_(std::move(text)), name_(std::move(name)) {}
  bool WriteLine(const std::string& line) override {
    *text_ += line + "\n";
    return true;
  }
  std::string Where() const override { return "memory:" + name_; }

 private:
  std::shared_ptr<std::string> text_;
  std::string name_;
};

}  // namespace

std::unique_ptr<TranscriptSink> MemoryTranscriptStore::Create(const std::string& name) {
  names_.push_back(name);
  texts_.push_back(std::make_shared<std::string>());
  return std::make_unique<MemorySink>(texts_.back(), name);
}

std::vector<std::string> MemoryTranscriptStore::Texts() const {
  std::vector<std::string> texts;
  for (const std::shared_ptr<std::string>& text : texts_) texts.push_back(*text);
  return texts;
}

Transcript::Transcript(std::unique_ptr<TranscriptSink> sink, const TranscriptHeader& header)
    : sink_(std::move(sink)), startMicroseconds_(MonotonicMicroseconds()) {
  const std::string lines[kHeaderLines] = {
      kTranscriptFirstLine,
      std::string("program ") + header.programVersion,
      "started " + header.started,
      "package \"" + EscapedText(header.packageVendor) + "\" \"" + EscapedText(header.packageModel) + "\" \"" +
          EscapedText(header.packageVersion) + "\" " + std::to_string(header.imageLength) + " sha256 " +
          header.imageSha256,
      "drive \"" + EscapedText(header.driveNode) + "\" " + std::to_string(header.host) + ":" +
          std::to_string(header.channel) + ":" + std::to_string(header.target) + ":" + std::to_string(header.lun) +
          " \"" + EscapedText(header.driveIdentity) + "\"" +
          (header.foundIdentity.empty() ? std::string() : " found \"" + EscapedText(header.foundIdentity) + "\""),
  };
  for (const std::string& line : lines) intact_ = sink_->WriteLine(line) && intact_;
}

Transcript::~Transcript() {
  if (!ended_) End(true);
  if (ActiveTranscript() == this) SetActiveTranscript(nullptr);
}

void Transcript::Timed(const std::string& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  const uint64_t elapsed = MonotonicMicroseconds() - startMicroseconds_;
  char time[32];
  std::snprintf(time, sizeof time, "@%" PRIu64 ".%06" PRIu64 " ", elapsed / 1000000, elapsed % 1000000);
  intact_ = sink_->WriteLine(time + record) && intact_;
}

void Transcript::Request(const Cdb& cdb, Direction direction, uint32_t length, unsigned timeoutSeconds,
                         const uint8_t* dataOut) {
  Timed(CommandRequestLine(cdb, direction, length, timeoutSeconds, dataOut));
}

void Transcript::Answer(const CommandOutcome& outcome, uint64_t microseconds, const uint8_t* dataIn,
                        uint32_t dataInLength, const std::optional<LibraryStatus>& library) {
  Timed(CommandAnswerLine(outcome, microseconds, dataIn, dataInLength, library));
}

void Transcript::Box(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) {
  Timed(BoxShownLine(kind, caption, text, buttons));
}

void Transcript::BoxAnswered(BoxAnswer answer) { Timed(BoxAnswerLine(answer)); }

void Transcript::Status(const std::string& text) { Timed(StatusShownLine(text)); }

void Transcript::ComboInsert(int index, const std::string& text) { Timed(ComboInsertShownLine(index, text)); }

void Transcript::Hold(const HoldOutcome& outcome) { Timed(HoldLine(outcome)); }

void Transcript::Filters(bool filters) { Timed(FiltersLine(filters)); }

void Transcript::ErrorsShown() { Timed(kErrorsShownLine); }

void Transcript::Stopped(const std::string& cause) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  Timed(StopShownLine(cause));
}

void Transcript::Held(const std::string& cause) { Timed(HeldShownLine(cause)); }

void Transcript::End(bool exception) {
  Timed(exception ? "end exception" : "end");
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
}

void Transcript::Sync() {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_->Sync();
}

std::string Transcript::Where() const { return sink_->Where(); }

Transcript* ActiveTranscript() { return active.load(); }

void SetActiveTranscript(Transcript* transcript) { active.store(transcript); }

const char* ProgramVersion() { return FLASHUTIL_VERSION; }

// --- Reading -------------------------------------------------------------------

namespace {

// One "@" line after the header; false with `error` set when it is not as written.
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
  const std::string& text = record.text;
  const std::vector<std::string> words = Words(text);
  if (words.empty()) {
    error = "an empty record";
    return false;
  }
  const std::string& kind = words[0];

  if (kind == ">") {
    record.kind = TranscriptRecord::Kind::Request;
    // 12 bytes, direction, length, time-out, "s", optionally "data" digest.
    if (words.size() != 17 && words.size() != 19) {
      error = "a command request must have 12 command bytes, a direction, a length and a time-out";
      return false;
    }
    for (size_t i = 0; i < 12; ++i) {
      if (!ParseHexByte(words[1 + i], record.cdb[i])) {
        error = "\"" + EscapedText(words[1 + i]) + "\" is not a command byte";
        return false;
      }
    }
    uint64_t length = 0, timeout = 0;
    if (words[13] != "in" && words[13] != "out") {
      error = "the direction must be in or out";
      return false;
    }
    record.direction = words[13] == "in" ? Direction::In : Direction::Out;
    if (!ParseUnsigned(words[14], length) || !ParseUnsigned(words[15], timeout, 65535) || words[16] != "s") {
      error = "a command request needs its length and its time-out in seconds";
      return false;
    }
    record.length = static_cast<uint32_t>(length);
    record.timeoutSeconds = static_cast<unsigned>(timeout);
    if (words.size() == 19) {
      if (words[17] != "data" || words[18].size() != 16 || record.direction != Direction::Out) {
        error = "only data sent to the drive has a digest";
        return false;
      }
      record.dataDigest = words[18];
    }
    return true;
  }

  if (kind == "<") {
    record.kind = TranscriptRecord::Kind::Answer;
    // "<" N "us" verdict "errno" N "status" XX "sense" S "residual" N ["library" XX XX] ["data" B64]
    const char* const libraryError = "the library's request and host adapter status must be two bytes in hex";
    const bool library = words.size() > 12 && words[12] == "library";
    if (library && words.size() < 15) {
      error = libraryError;
      return false;
    }
    const size_t dataAt = library ? 15 : 12;
    if ((words.size() != dataAt && words.size() != dataAt + 2) || words[2] != "us" || words[4] != "errno" ||
        words[6] != "status" || words[8] != "sense" || words[10] != "residual") {
      error = "a command answer must have its time, verdict, errno, status, sense and residual";
      return false;
    }
    uint64_t value = 0;
    if (!ParseUnsigned(words[1], record.microseconds, UINT64_MAX / 2)) {
      error = "\"" + EscapedText(words[1]) + "\" is not a duration in microseconds";
      return false;
    }
    CommandOutcome& outcome = record.outcome;
    if (words[3] == "ok") {
      outcome.transportOk = true;
    } else if (words[3] == "timeout") {
      outcome.timedOut = true;
    } else if (words[3] != "failed") {
      error = "the verdict must be ok, failed or timeout";
      return false;
    }
    if (!ParseUnsigned(words[5], value, INT32_MAX)) {
      error = "\"" + EscapedText(words[5]) + "\" is not an error code";
      return false;
    }
    outcome.sysError = static_cast<int>(value);
    if (!ParseHexByte(words[7], outcome.status)) {
      error = "\"" + EscapedText(words[7]) + "\" is not a status byte";
      return false;
    }
    if (words[9] != "-") {
      if (words[9].size() != outcome.sense.size() * 2) {
        error = "the sense must be 32 bytes in hex, or -";
        return false;
      }
      for (size_t i = 0; i < outcome.sense.size(); ++i) {
        if (!ParseHexByte(words[9].substr(2 * i, 2), outcome.sense[i])) {
          error = "the sense must be 32 bytes in hex, or -";
          return false;
        }
      }
    }
    if (!ParseUnsigned(words[11], value)) {
      error = "\"" + EscapedText(words[11]) + "\" is not a residual";
      return false;
    }
    outcome.residual = static_cast<uint32_t>(value);
    if (library) {
      LibraryStatus status;
      if (!ParseHexByte(words[13], status.request) || !ParseHexByte(words[14], status.hostAdapter)) {
        error = libraryError;
        return false;
      }
      record.library = status;
    }
    if (words.size() == dataAt + 2) {
      std::optional<std::vector<uint8_t>> data =
          words[dataAt] == "data" ? FromBase64(words[dataAt + 1]) : std::nullopt;
      if (!data || data->empty()) {
        error = "the data from the drive must be in base64";
        return false;
      }
      record.dataIn = std::move(*data);
    }
    return true;
  }

  if (kind == "box") {
    record.kind = TranscriptRecord::Kind::Box;
    // box KIND "CAPTION" BUTTONS: TEXT
    const size_t at0 = words.size() < 3 ? 0 : 5 + words[1].size();
    size_t at = at0;
    if (at0 == 0 || text.compare(0, 4, "box ") != 0 || text.compare(4, words[1].size(), words[1]) != 0 ||
        !BoxKindFromName(words[1], record.boxKind) || at0 >= text.size() || text[at0 - 1] != ' ') {
      error = "a box must name its kind (Warning, Error, Confirmation or Plain)";
      return false;
    }
    if (!TakeQuoted(text, at, record.caption)) {
      error = "a box must have its caption in quotes";
      return false;
    }
    static const std::string kYesNo = " Yes/No: ", kOk = " OK: ";
    if (text.compare(at, kYesNo.size(), kYesNo) == 0) {
      record.buttons = BoxButtons::YesNo;
      at += kYesNo.size();
    } else if (text.compare(at, kOk.size(), kOk) == 0) {
      record.buttons = BoxButtons::Ok;
      at += kOk.size();
    } else {
      error = "a box must name its buttons (Yes/No or OK)";
      return false;
    }
    const std::optional<std::string> shown = UnescapedText(text.substr(at));
    if (!shown) {
      error = "the box's text has a byte that was not escaped";
      return false;
    }
    record.shown = *shown;
    return true;
  }

  if (kind == "answer") {
    record.kind = TranscriptRecord::Kind::BoxAnswer;
    if (words.size() != 2 || !BoxAnswerFromName(words[1], record.answer)) {
      error = "an answer must be Yes, No, OK or Closed";
      return false;
    }
    return true;
  }

  if (kind == "status") {
    record.kind = TranscriptRecord::Kind::Status;
    size_t at = 7;
    if (text.size() < 9 || text[6] != ' ' || !TakeQuoted(text, at, record.shown) || at != text.size()) {
      error = "a status line must have its text in quotes";
      return false;
    }
    return true;
  }

  if (kind == "combo") {
    record.kind = TranscriptRecord::Kind::ComboInsert;
    uint64_t index = 0;
    if (words.size() < 4 || words[1] != "insert" || !ParseUnsigned(words[2], index, INT32_MAX)) {
      error = "a drive box entry must be \"combo insert\", its index and its text";
      return false;
    }
    record.index = static_cast<int>(index);
    size_t at = 14 + words[2].size();
    if (!TakeQuoted(text, at, record.shown) || at != text.size()) {
      error = "a drive box entry must have its text in quotes";
      return false;
    }
    return true;
  }

  if (kind == kStopLine || kind == kHeldLine) {
    record.kind = kind == kStopLine ? TranscriptRecord::Kind::Stop : TranscriptRecord::Kind::Held;
    const std::optional<std::string> cause = StopCauseOf(text, kind);
    if (!cause || (kind == kHeldLine && cause->empty())) {
      error = "\"" + kind + "\" must be followed by what asked to stop (SIGINT, SIGTERM, window closed, ...)";
      return false;
    }
    record.shown = *cause;
    return true;
  }

  if (text == kErrorsShownLine) {
    record.kind = TranscriptRecord::Kind::ErrorsShown;
    return true;
  }

  if (kind == "filters") {
    record.kind = TranscriptRecord::Kind::Filters;
    if (words.size() != 2 || (words[1] != "yes" && words[1] != "no")) {
      error = "\"filters\" must be followed by yes or no";
      return false;
    }
    record.filters = words[1] == "yes";
    return true;
  }

  if (kind == "hold") {
    record.kind = TranscriptRecord::Kind::Hold;
    if (words.size() == 2 && words[1] == "ok") return true;
    uint64_t code = 0;
    const bool busy = words.size() >= 4 && words[3] == "busy";
    const std::string prefix = "hold errno " + (words.size() >= 3 ? words[2] : std::string()) + (busy ? " busy " : " ");
    size_t at = prefix.size();
    if (words.size() < 4 || words[1] != "errno" || !ParseUnsigned(words[2], code, INT32_MAX) || code == 0 ||
        text.compare(0, prefix.size(), prefix) != 0 || !TakeQuoted(text, at, record.hold.node) || at != text.size()) {
      error = "a hold must be \"hold ok\", or its error code, \"busy\" where the drive was in use, and the node in quotes";
      return false;
    }
    record.hold.sysError = static_cast<int>(code);
    record.hold.inUse = busy;
    return true;
  }

  if (kind == "end") {
    record.kind = TranscriptRecord::Kind::End;
    if (words.size() == 2 && words[1] == "exception") {
      record.exception = true;
    } else if (words.size() != 1) {
      error = "\"end\" or \"end exception\" ends a transcript";
      return false;
    }
    return true;
  }

  error = "\"" + EscapedText(kind) + "\" is not a record of a transcript";
  return false;
}

bool ParseHeader(const std::vector<std::string>& lines, TranscriptHeader& header, size_t& failedLine,
                 std::string& error) {
  failedLine = 1;
  if (lines[0] != kTranscriptFirstLine) {
    error = "this is not a flashutil transcript (its first line must be \"" + std::string(kTranscriptFirstLine) + "\")";
    return false;
  }
  failedLine = 2;
  if (lines[1].rfind("program ", 0) != 0) {
    error = "the second line must name the program's version";
    return false;
  }
  header.programVersion = lines[1].substr(8);
  if (header.programVersion != ProgramVersion()) {
    error = "the transcript was written by version " + EscapedText(header.programVersion) +
            " of the program; this is version " + ProgramVersion() + ", which replays only its own transcripts";
    return false;
  }
  failedLine = 3;
  if (lines[2].rfind("started ", 0) != 0 || lines[2].size() != 28) {
    error = "the third line must give the time the flash started (\"started 2026-12-07T22:14:08Z\")";
    return false;
  }
  header.started = lines[2].substr(8);

  failedLine = 4;
  {
    const std::string& line = lines[3];
    size_t at = 8;
    uint64_t length = 0;
    if (line.rfind("package ", 0) != 0 || !TakeQuoted(line, at, header.packageVendor) || line[at++] != ' ' ||
        !TakeQuoted(line, at, header.packageModel) || line[at++] != ' ' ||
        !TakeQuoted(line, at, header.packageVersion)) {
      error = "the fourth line must name the package's vendor, model and version in quotes";
      return false;
    }
    const std::vector<std::string> rest = Words(line.substr(at));
    if (rest.size() != 3 || !ParseUnsigned(rest[0], length) || rest[1] != "sha256" || rest[2].size() != 64) {
      error = "the fourth line must give the image's length and its SHA-256";
      return false;
    }
    header.imageLength = static_cast<uint32_t>(length);
    header.imageSha256 = rest[2];
  }

  failedLine = 5;
  {
    const std::string& line = lines[4];
    size_t at = 6;
    if (line.rfind("drive ", 0) != 0 || !TakeQuoted(line, at, header.driveNode) || at >= line.size() ||
        line[at++] != ' ') {
      error = "the fifth line must name the drive's node in quotes";
      return false;
    }
    const size_t blank = line.find(' ', at);
    uint64_t parts[4] = {};
    bool address = blank != std::string::npos;
    for (size_t part = 0; address && part < 4; ++part) {
      const size_t colon = part < 3 ? line.find(':', at) : blank;
      address = colon != std::string::npos && colon <= blank && ParseUnsigned(line.substr(at, colon - at), parts[part], 255);
      at = colon + 1;
    }
    if (!address) {
      error = "the fifth line must give the drive's address as host:channel:target:lun";
      return false;
    }
    header.host = static_cast<uint8_t>(parts[0]);
    header.channel = static_cast<uint8_t>(parts[1]);
    header.target = static_cast<uint8_t>(parts[2]);
    header.lun = static_cast<uint8_t>(parts[3]);
    if (!TakeQuoted(line, at, header.driveIdentity)) {
      error = "the fifth line must end with the drive's entry in quotes";
      return false;
    }
    // The identity the start-up found, where the entry holds none.
    if (at != line.size()) {
      const std::string found = " found ";
      const bool named = line.compare(at, found.size(), found) == 0;
      if (named) at += found.size();
      if (!named || !TakeQuoted(line, at, header.foundIdentity) || at != line.size()) {
        error = "the fifth line must end with the drive's entry in quotes, and may add: found \"IDENTITY\"";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

TranscriptReadResult ReadTranscript(const std::string& text) {
  TranscriptReadResult result;
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      // A last line without its line feed was cut off while it was written.
      result.error = "line " + std::to_string(lines.size() + 1) +
                     ": the transcript ends in the middle of a line (it was cut off)";
      return result;
    }
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // copied through a Windows editor
    lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.size() < kHeaderLines) {
    result.error = "line " + std::to_string(lines.size() + 1) +
                   ": the transcript ends inside its header (it was cut off, or is not a transcript)";
    if (!lines.empty() && lines[0] != kTranscriptFirstLine) {
      result.error = "line 1: this is not a flashutil transcript (its first line must be \"" +
                     std::string(kTranscriptFirstLine) + "\")";
    }
    return result;
  }

  ParsedTranscript parsed;
  size_t failedLine = 0;
  std::string error;
  if (!ParseHeader(lines, parsed.header, failedLine, error)) {
    result.error = "line " + std::to_string(failedLine) + ": " + error;
    return result;
  }

  bool ended = false;
  // Requests held off come when they come, also while a command or a box
  // waits for its answer: they are read after that answer.
  std::vector<TranscriptRecord> heldMeanwhile;
  for (size_t i = kHeaderLines; i < lines.size(); ++i) {
    const size_t number = i + 1;
    if (ended) {
      result.error = "line " + std::to_string(number) + ": a record after the transcript's end";
      return result;
    }
    TranscriptRecord record;
    record.line = number;
    if (!ParseRecord(lines[i], record, error)) {
      result.error = "line " + std::to_string(number) + ": " + error;
      return result;
    }
    // The order of a command's two lines, and of a box and its answer.
    using Kind = TranscriptRecord::Kind;
    const Kind previous = parsed.records.empty() ? Kind::End : parsed.records.back().kind;
    const bool awaitsAnswer = !parsed.records.empty() && previous == Kind::Request;
    const bool awaitsBoxAnswer = !parsed.records.empty() && previous == Kind::Box;
    if (record.kind == Kind::Held && (awaitsAnswer || awaitsBoxAnswer)) {
      heldMeanwhile.push_back(std::move(record));
      continue;
    }
    if (awaitsAnswer && record.kind != Kind::Answer && record.kind != Kind::End) {
      result.error = "line " + std::to_string(number) + ": a command request must be followed by its answer";
      return result;
    }
    if (record.kind == Kind::Answer && !awaitsAnswer) {
      result.error = "line " + std::to_string(number) + ": an answer without its command request";
      return result;
    }
    if (awaitsBoxAnswer && record.kind != Kind::BoxAnswer && record.kind != Kind::End) {
      result.error = "line " + std::to_string(number) + ": a box must be followed by the user's answer";
      return result;
    }
    if (record.kind == Kind::BoxAnswer && !awaitsBoxAnswer) {
      result.error = "line " + std::to_string(number) + ": an answer without its box";
      return result;
    }
    if (record.kind == Kind::Answer) {
      const TranscriptRecord& request = parsed.records.back();
      const uint32_t arrived = request.direction == Direction::In ? request.length : 0;
      if (record.dataIn.size() > arrived || record.outcome.residual > request.length) {
        result.error = "line " + std::to_string(number) + ": the answer brings more data than its command asked for";
        return result;
      }
    }
    ended = record.kind == Kind::End;
    if (ended) {
      parsed.records.insert(parsed.records.end(), heldMeanwhile.begin(), heldMeanwhile.end());
      heldMeanwhile.clear();
    }
    parsed.records.push_back(std::move(record));
    parsed.records.insert(parsed.records.end(), heldMeanwhile.begin(), heldMeanwhile.end());
    heldMeanwhile.clear();
  }
  if (!ended) {
    result.error = "line " + std::to_string(lines.size() + 1) +
                   ": the transcript ends without its \"end\" line (it was cut off while the flash ran)";
    return result;
  }
  result.transcript = std::move(parsed);
  return result;
}

}  // namespace platform
