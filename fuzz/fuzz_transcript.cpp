// The reader of flash transcripts, which replays take from other people's
// machines: any text is either refused with the line it fails at, or read
// whole, ending with its "end" record, every command's answer bringing no
// more data than its request asked for.
#include <cstdint>
#include <string>

#include "fuzz/FuzzForm.h"
#include "platform/Transcript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzing::Check;
  using Kind = platform::TranscriptRecord::Kind;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const platform::TranscriptReadResult result = platform::ReadTranscript(text);
  size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;

  if (!result.transcript) {
    Check(result.error.rfind("line ", 0) == 0, "a refusal must name its line");
    const size_t line = std::stoul(result.error.substr(5));
    Check(line >= 1 && line <= lines + 1, "a refusal names a line past the end");
    return 0;
  }
  Check(result.error.empty(), "a transcript read whole carries an error");
  const auto& records = result.transcript->records;
  Check(!records.empty() && records.back().kind == Kind::End, "a transcript read whole must end with its end");
  for (size_t i = 0; i < records.size(); ++i) {
    const platform::TranscriptRecord& record = records[i];
    Check(record.line > 5 && record.line <= lines, "a record's line is outside the text");
    if (record.kind != Kind::Answer) continue;
    Check(i > 0 && records[i - 1].kind == Kind::Request, "an answer without its request");
    const platform::TranscriptRecord& request = records[i - 1];
    Check(record.dataIn.empty() || request.direction == platform::Direction::In, "data from the drive on data out");
    Check(record.dataIn.size() <= request.length, "an answer brings more than its request asked for");
  }
  return 0;
}
