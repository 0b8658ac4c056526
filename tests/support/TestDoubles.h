// Test doubles for the platform services: scripted message boxes that record
// every box, a clock that does not wait, a cursor, restart and inhibitor that
// record their calls, a transport that logs every command it passes on,
// simulated drives whose transport throws, and a scope that installs them
// all. Each writes into the run's log, when it has one, what it was asked to do.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/Transport.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/ForwardingTransport.h"
#include "tests/support/RunLog.h"

namespace testing_support {

struct ShownBox {
  platform::BoxKind kind;
  std::string caption;
  std::string text;
  platform::BoxButtons buttons;
};

class ScriptedBoxes final : public platform::MessageBoxes {
 public:
  // Answers given to Yes/No boxes, in order; when the script runs out, No.
  void Answer(platform::BoxAnswer answer) { script_.push_back(answer); }
  void AnswerYes(int times = 1) { for (int i = 0; i < times; ++i) Answer(platform::BoxAnswer::Yes); }
  void AnswerNo() { Answer(platform::BoxAnswer::No); }
  // Drops the answers not given yet.
  void ClearScript() { script_.clear(); }

  platform::BoxAnswer Show(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) override;

  std::vector<ShownBox> shown;
  // Texts of all boxes shown, in order.
  std::vector<std::string> Texts() const;
  RunLog* log = nullptr;

 private:
  std::deque<platform::BoxAnswer> script_;
};

class FakeClock final : public platform::Clock {
 public:
  void SleepMs(unsigned milliseconds) override {
    ++sleeps;
    totalMs += milliseconds;
    if (log != nullptr) log->push_back(SleepLine(milliseconds));
  }
  int sleeps = 0;
  unsigned long totalMs = 0;
  RunLog* log = nullptr;
};

class FakeCursor final : public platform::Cursor {
 public:
  void SetHourglass() override { Note(true, kHourglassLine); }
  void SetDefault() override { Note(false, kDefaultCursorLine); }
  bool hourglass = false;
  RunLog* log = nullptr;

 private:
  void Note(bool on, const std::string& line) {
    hourglass = on;
    if (log != nullptr) log->push_back(line);
  }
};

class FakeRestart final : public platform::SystemRestart {
 public:
  void RequestReboot() override {
    ++reboots;
    if (log != nullptr) log->push_back(kRestartLine);
  }
  int reboots = 0;
  RunLog* log = nullptr;
};

class FakeInhibitor final : public platform::SleepInhibitor {
 public:
  bool Acquire(const std::string& who, const std::string& why) override;
  void Release() override;
  bool available = true;  // false: logind is not reachable
  bool held = false;
  int acquired = 0;
  int released = 0;
  std::string who, why;
  RunLog* log = nullptr;
};

// Passes every call on to `inner`, and logs each command before it goes.
class RecordingTransport final : public ForwardingTransport {
 public:
  RecordingTransport(platform::DriveTransport& inner, RunLog& log) : ForwardingTransport(inner), log_(log) {}
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    log_.push_back(CommandLine(cdb, direction, length, timeoutSeconds, buffer));
    return ForwardingTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
  platform::HoldOutcome LockExclusive(platform::DeviceHandle handle) override {
    const platform::HoldOutcome outcome = ForwardingTransport::LockExclusive(handle);
    log_.push_back(outcome.sysError == 0 ? kHoldLine : HoldRefusedLine(outcome.node));
    return outcome;
  }
  void UnlockExclusive(platform::DeviceHandle handle) override {
    log_.push_back(kLetGoLine);
    ForwardingTransport::UnlockExclusive(handle);
  }

 private:
  RunLog& log_;
};

// Simulated drives whose transport throws from one command, as an
// allocation that fails would.
class ThrowingTransport final : public platform::sim::SimTransport {
 public:
  size_t throwAt = 0;  // the command that throws, counted from 1; 0: none
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (throwAt != 0 && --throwAt == 0) throw std::runtime_error("out of memory");
    return SimTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
};

// Transcripts kept in memory as MemoryTranscriptStore keeps them, with each
// time a transcript is synced to the disk in the run's log.
class RecordingTranscripts final : public platform::TranscriptStore {
 public:
  std::unique_ptr<platform::TranscriptSink> Create(const std::string& name) override;
  std::string LastPath() const override { return memory_.LastPath(); }
  std::string LastError() const override { return memory_.LastError(); }
  std::vector<std::string> Texts() const { return memory_.Texts(); }

  RunLog* log = nullptr;

 private:
  platform::MemoryTranscriptStore memory_;
};

// Whether two logs are equal; if not, where they part, with the lines around.
::testing::AssertionResult SameLog(const RunLog& actual, const RunLog& expected);

// Installs the doubles as the process's services and resets the drive
// layer's class-wide state; undoes both when it goes out of scope.
class ServicesScope {
 public:
  ServicesScope();
  ~ServicesScope();
  ServicesScope(const ServicesScope&) = delete;
  ServicesScope& operator=(const ServicesScope&) = delete;

  RunLog log;  // what the doubles were asked to do, in order
  ScriptedBoxes boxes;
  FakeClock clock;
  FakeCursor cursor;
  FakeRestart restart;
  FakeInhibitor inhibitor;
  RecordingTranscripts transcripts;  // the transcript of every flash
};

}  // namespace testing_support
