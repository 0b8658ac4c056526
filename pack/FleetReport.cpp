// The fleet's results as a table, a JSON object and an exit status.
#include <algorithm>
#include <array>

#include "pack/DriveCommands.h"
#include "pack/FleetFlash.h"
#include "pack/PackCommands.h"
#include "platform/Text.h"

namespace pack {

int FleetStatus(const std::vector<DriveResult>& results, int signal) {
  const auto any = [&](const char* result) {
    return std::any_of(results.begin(), results.end(), [&](const DriveResult& r) { return r.result == result; });
  };
  // Declined at its question, as a single flash: nothing was sent to it.
  const bool declined = std::any_of(results.begin(), results.end(), [](const DriveResult& r) {
    return r.result == "refused" && r.failure.rfind("declined", 0) == 0;
  });
  if (any("failed") || declined) return kFailure;
  if (any("interrupted")) return StoppedBySignal(signal == 0 ? 2 : signal);
  if (any("refused")) return kTrouble;
  return kSuccess;
}

std::string ResultTable(const std::vector<DriveResult>& results) {
  constexpr size_t kColumns = 7;
  using Row = std::array<std::string, kColumns>;
  std::vector<Row> rows{{"NODE", "ADDRESS", "PATH", "BEFORE", "AFTER", "RESULT", "TRANSCRIPT"}};
  for (const DriveResult& r : results) {
    const auto shown = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    std::string result = r.result;
    if (!r.failure.empty()) result += ": " + r.failure;
    rows.push_back({shown(r.node), shown(r.address), shown(r.physicalPath), shown(r.before), shown(r.after),
                    platform::PrintableText(result), shown(platform::PrintableText(r.transcript))});
  }
  std::array<size_t, kColumns> width{};
  for (const Row& row : rows) {
    for (size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row[c].size());
  }
  std::string table;
  for (const Row& row : rows) {
    std::string line;
    for (size_t c = 0; c < kColumns; ++c) {
      line += row[c];
      if (c + 1 < kColumns) line += std::string(width[c] - row[c].size() + 2, ' ');
    }
    table += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  return table;
}

std::string FleetJson(const ProgramFacts& program, bool check, bool simulated, int status, const std::string& error,
                      const std::vector<DriveResult>& results) {
  const auto text = [](const std::string& value) { return value.empty() ? "null" : platform::JsonString(value); };
  const auto flag = [](bool value) { return value ? "true" : "false"; };
  std::string drives;
  bool changed = false;
  for (const DriveResult& r : results) {
    changed = changed || r.changed;
    drives += std::string(drives.empty() ? "" : ", ") + "{\"node\": " + text(r.node) +
              ", \"address\": " + text(r.address) + ", \"physical_path\": " + text(r.physicalPath) +
              ", \"firmware_before\": " + text(r.before) + ", \"firmware_after\": " + text(r.after) +
              ", \"result\": " + text(r.result) + ", \"changed\": " + flag(r.changed) +
              ", \"failure\": " + text(r.failure) + ", \"transcript\": " + text(r.transcript) + "}";
  }
  std::string programJson = "null";
  if (!program.file.empty()) {
    programJson = "{\"file\": " + text(program.file) + ", \"vendor\": " + text(program.vendor) +
                  ", \"model\": " + text(program.model) + ", \"version\": " + text(program.version) +
                  ", \"image_sha256\": " + text(program.sha256) + "}";
  }
  return "{\"program\": " + programJson + ", \"check\": " + flag(check) + ", \"simulated\": " + flag(simulated) +
         ", \"status\": " + std::to_string(status) + ", \"changed\": " + flag(changed) + ", \"error\": " +
         text(error) + ", \"drives\": [" + drives + "]}\n";
}

}  // namespace pack
