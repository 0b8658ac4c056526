#include "platform/Transcript.h"

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace platform {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Hex2(uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
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
bool IsStopCause(const std::string& cause) {
  if (cause.empty() || cause.front() == ' ' || cause.back() == ' ' || cause.find("  ") != std::string::npos) {
    return false;
  }
  for (const char c : cause) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ')) return false;
  }
  return true;
}

std::string StopShownLine(const std::string& cause) {
  return IsStopCause(cause) ? std::string(kStopLine) + " " + cause : kStopLine;
}

std::string HeldShownLine(const std::string& cause) {
  return std::string(kHeldLine) + " " + (IsStopCause(cause) ? cause : "request");
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
  const std::string lines[kTranscriptHeaderLines] = {
      kTranscriptFirstLine,
      std::string("program ") + header.programVersion + (header.commandLine ? " command-line" : ""),
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

Transcript* ActiveTranscript() { return DefaultServiceContext().ActiveTranscript(); }

void SetActiveTranscript(Transcript* transcript) { DefaultServiceContext().SetActiveTranscript(transcript); }

const char* ProgramVersion() { return FLASHUTIL_VERSION; }

}  // namespace platform
