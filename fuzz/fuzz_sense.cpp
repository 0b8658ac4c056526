// Sense data normalisation, and the outcome classification of the SG_IO back-end.
// The sense bytes lie in a buffer of exactly the reported length, so that a
// read past what the device returned is caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzForm.h"
#include "platform/Sense.h"
#include "platform/linux/SenseData.h"

using platform::linux_sg::ClassifyOutcome;
using platform::NormaliseSense;
using platform::linux_sg::RawResult;
using platform::SenseArea;

namespace {

void CheckNormalised(const std::vector<uint8_t>& sense) {
  using fuzzing::Check;
  const SenseArea fixed = NormaliseSense(sense.empty() ? nullptr : sense.data(), sense.size());
  if (sense.empty()) {
    for (uint8_t b : fixed) Check(b == 0, "no sense data must give zeros");
    return;
  }
  const uint8_t code = sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    Check((fixed[0] & 0x7F) == (code == 0x73 ? 0x71 : 0x70), "descriptor sense: wrong response code");
    Check(fixed[7] == 10, "descriptor sense: wrong additional length");
    Check((fixed[2] & 0x0F) == (sense.size() > 1 ? (sense[1] & 0x0F) : 0), "descriptor sense: wrong key");
    Check(fixed[12] == (sense.size() > 2 ? sense[2] : 0), "descriptor sense: wrong ASC");
    Check(fixed[13] == (sense.size() > 3 ? sense[3] : 0), "descriptor sense: wrong ASCQ");
    Check((fixed[2] & 0x10) == 0, "descriptor sense: reserved bit set");
    for (size_t i = 18; i < fixed.size(); ++i) Check(fixed[i] == 0, "descriptor sense: bytes past 17 set");
  } else {
    const size_t n = std::min(sense.size(), fixed.size());
    Check(std::memcmp(fixed.data(), sense.data(), n) == 0, "sense not copied as it stands");
    for (size_t i = n; i < fixed.size(); ++i) Check(fixed[i] == 0, "bytes past the sense data set");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzing::Check;
  FuzzedDataProvider input(data, size);
  RawResult raw;
  // The values the pass-through library can report, and some it should not.
  raw.doResult = input.ConsumeIntegralInRange<int>(-200, 8);
  raw.category = input.ConsumeIntegralInRange<int>(-1, 6);
  raw.osError = input.ConsumeIntegralInRange<int>(0, 200);
  raw.hostStatus = input.ConsumeIntegralInRange<int>(0, 0x20);
  raw.scsiStatus = input.ConsumeIntegral<uint8_t>();
  raw.length = input.ConsumeIntegral<uint16_t>();
  raw.residual = input.ConsumeIntegral<int>();
  const std::vector<uint8_t> sense = input.ConsumeRemainingBytes<uint8_t>();
  raw.sense = sense.empty() ? nullptr : sense.data();
  raw.senseLength = sense.size();

  CheckNormalised(sense);

  const platform::CommandOutcome outcome = ClassifyOutcome(raw);
  // A failed call always carries an error code, so its report never reads as success.
  if (outcome.transportOk) {
    Check(outcome.sysError == 0 && !outcome.timedOut, "good outcome with an error");
  } else {
    Check(outcome.sysError != 0, "failed outcome without an error code");
  }
  if (outcome.timedOut) Check(outcome.sysError == ETIMEDOUT, "time-out without ETIMEDOUT");
  Check(outcome.residual <= raw.length, "residual beyond the data phase");
  return 0;
}
