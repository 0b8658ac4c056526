// Test doubles for the platform services: scripted message boxes that record
// every box, a clock that does not wait, a cursor, restart and inhibitor that
// record their calls, a scope that installs them all, and simulated drives
// whose transport throws.
#pragma once

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Services.h"
#include "platform/sim/SimTransport.h"

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

  platform::BoxAnswer Show(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) override;

  std::vector<ShownBox> shown;
  // Called as each box is shown, before it is answered.
  std::function<void()> onShow;
  // Texts of all boxes shown, in order.
  std::vector<std::string> Texts() const;

 private:
  std::deque<platform::BoxAnswer> script_;
};

class FakeClock final : public platform::Clock {
 public:
  void SleepMs(unsigned milliseconds) override {
    ++sleeps;
    totalMs += milliseconds;
  }
  int sleeps = 0;
  unsigned long totalMs = 0;
};

class FakeCursor final : public platform::Cursor {
 public:
  void SetHourglass() override { hourglass = true; events.push_back("hourglass"); }
  void SetDefault() override { hourglass = false; events.push_back("default"); }
  bool hourglass = false;
  std::vector<std::string> events;
};

class FakeRestart final : public platform::SystemRestart {
 public:
  void RequestReboot() override { ++reboots; }
  int reboots = 0;
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

// Installs the doubles as the process's services and resets the drive
// layer's class-wide state; undoes both when it goes out of scope.
class ServicesScope {
 public:
  ServicesScope();
  ~ServicesScope();
  ServicesScope(const ServicesScope&) = delete;
  ServicesScope& operator=(const ServicesScope&) = delete;

  ScriptedBoxes boxes;
  FakeClock clock;
  FakeCursor cursor;
  FakeRestart restart;
  FakeInhibitor inhibitor;
};

}  // namespace testing_support
