// A form in flash mode over a crafted package and one simulated drive, with
// the platform services replaced by doubles.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

namespace flash_tests {

using platform::sim::DriveConfig;
using platform::sim::Fault;
using platform::sim::LoggedCommand;
using platform::sim::SimDrive;
using platform::sim::SimTransport;

// The three kinds of image the flash procedure knows.
enum class ImageClass { NoProfile, ShortId, LongId };

inline const char* Name(ImageClass kind) {
  switch (kind) {
    case ImageClass::NoProfile: return "NoProfile";
    case ImageClass::ShortId: return "ShortId";
    case ImageClass::LongId: return "LongId";
  }
  return "?";
}

inline std::vector<uint8_t> CraftImage(ImageClass kind, testing_support::PackageTexts texts = {},
                                       uint32_t binLength = 524288) {
  std::vector<uint8_t> p = testing_support::CraftPackage(texts, binLength);
  if (kind == ImageClass::ShortId) testing_support::PutSignature(p, 0x1100);
  if (kind == ImageClass::LongId) testing_support::PutSignature(p, 0x4000, "DVD-ROM MVK-417");
  return p;
}

// A drive that fits the crafted package's default texts (revision Q120 in Q100-Q149).
inline DriveConfig FittingDrive(std::array<uint8_t, 4> flashId = {0xDA, 0xC8, 0x00, 0x00}) {
  DriveConfig config;
  config.vendor = "VOX-TEL ";
  config.product = "QRD-73318K      ";
  config.revision = "Q120";
  config.flashId = flashId;
  config.revisionAfterFlash = "Q150";
  return config;
}

// A transport whose drives pass for real ones.
class RealLookingTransport : public SimTransport {
 public:
  bool IsSimulated() const override { return false; }
};

template <typename Transport = SimTransport>
class FlashFixtureT : public ::testing::Test {
 protected:
  void SetUp() override { CDDrive::SetTransport(&transport); }
  void TearDown() override {
    form.reset();
    CDDrive::SetTransport(nullptr);
  }

  SimDrive& AddDrive(DriveConfig config = FittingDrive()) { return transport.AddDrive(std::move(config)); }

  // Runs the start-up (answering Yes to the warning) and forgets what it showed and sent.
  void Create(std::vector<uint8_t> bytes) {
    package = std::move(bytes);
    form = std::make_unique<testing_support::TestForm>(package.data());
    services.boxes.AnswerYes();
    form->FormCreate();
    ASSERT_NE(form->CurrentDrive, nullptr) << "no fitting drive";
    services.boxes.shown.clear();
    form->statusHistory.clear();
    form->progressHistory.clear();
    transport.ClearLog();
    for (size_t i = 0; i < transport.DriveCount(); ++i) transport.Drive(i).ClearLog();
  }

  // Clicks FLASH, answering the revision prompt and the restart offer.
  void Click(bool update = true, bool restart = false) {
    // Answers left over from an earlier run that ended early are dropped.
    std::vector<testing_support::ShownBox> shown = std::move(services.boxes.shown);
    std::function<void()> onShow = std::move(services.boxes.onShow);
    services.boxes = testing_support::ScriptedBoxes{};
    services.boxes.shown = std::move(shown);
    services.boxes.onShow = std::move(onShow);
    services.boxes.Answer(update ? platform::BoxAnswer::Yes : platform::BoxAnswer::No);
    services.boxes.Answer(restart ? platform::BoxAnswer::Yes : platform::BoxAnswer::No);
    form->FlashButtonClick();
  }

  const uint8_t* Bin() const { return package.data() + package::kBinAreaOffset; }
  std::vector<uint8_t> BinBytes(uint32_t from, uint32_t count) const {
    return std::vector<uint8_t>(Bin() + from, Bin() + from + count);
  }

  std::vector<uint8_t> Opcodes() const {
    std::vector<uint8_t> ops;
    for (const LoggedCommand& c : transport.Log()) ops.push_back(c.opcode());
    return ops;
  }

  testing_support::ServicesScope services;
  Transport transport;
  std::vector<uint8_t> package;
  std::unique_ptr<testing_support::TestForm> form;
};

using FlashFixture = FlashFixtureT<SimTransport>;

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

// The line a failure message carries for the system's error: the simulated
// drives report C library codes, with the C library's words for them.
inline std::string SystemLine(int code) { return "\n" + std::string(std::strerror(code)); }

inline std::vector<uint8_t> CdbOf(const LoggedCommand& c) { return std::vector<uint8_t>(c.cdb.begin(), c.cdb.end()); }

}  // namespace flash_tests
