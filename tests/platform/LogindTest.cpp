// The logind binding against a fake logind on a private dbus-daemon: the lock's
// arguments and lifetime, the reboot call, and prompt failure without logind or bus;
// and with the desktop's lock on the end of the session (the portal's, or GNOME's),
// the locks of a whole flash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "platform/qt/DesktopInhibitor.h"
#include "platform/qt/Logind.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A child process whose stdout we read line by line, with a bound on every wait.
struct Child {
  pid_t pid = -1;
  int out = -1;
  std::string buffer;

  bool Start(const std::vector<std::string>& argv, std::vector<std::string> env = {}) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    out = ends[0];
    if (rc != 0) pid = -1;
    return rc == 0;
  }

  // The next line, or nothing if none arrives within timeoutMs (or the child closed stdout).
  std::optional<std::string> ReadLine(int timeoutMs) {
    const Clock::time_point start = Clock::now();
    for (;;) {
      if (const size_t eol = buffer.find('\n'); eol != std::string::npos) {
        std::string line = buffer.substr(0, eol);
        return buffer.erase(0, eol + 1), line;
      }
      const long left = timeoutMs - MsSince(start);
      pollfd p{out, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char chunk[256];
      const ssize_t n = ::read(out, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  // Exit status after `signal` (and SIGKILL if it lingers past graceMs), or -1.
  int Stop(int signal = SIGTERM, int graceMs = 2000) {
    int status = -1;
    if (pid > 0 && signal != 0) ::kill(pid, signal);
    for (const Clock::time_point start = Clock::now(); pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;) {
      if (MsSince(start) > graceMs) ::kill(pid, SIGKILL);
      ::usleep(10000);
    }
    if (out >= 0) ::close(out);
    pid = out = -1;
    return status;
  }
  ~Child() { Stop(); }
};

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";  // Debian package dbus-daemon

// One private, permissive bus for the suite; DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS point at it before anything here opens either bus (Qt caches
// those connections per process).
class Logind : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "logind-test-XXXXXX").string();
    if (::access(kDaemon, X_OK) != 0 || !::mkdtemp(pattern.data())) return;
    dir_ = pattern;
    std::ofstream(dir_ / "bus.conf") << "<busconfig><listen>unix:path=" << (dir_ / "bus").string()
                                     << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                        "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                                        "<allow receive_sender=\"*\"/></policy></busconfig>\n";
    if (bus_.Start({kDaemon, "--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--print-address=1"}))
      address_ = bus_.ReadLine(5000).value_or("");
    if (!address_.empty()) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
      ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
  }
  static void TearDownTestSuite() {
    bus_.Stop();
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  void SetUp() override {
    if (::access(kDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
    ASSERT_FALSE(address_.empty()) << "the private dbus-daemon did not start";
  }
  // Starts the fake logind (with `option`, the desktop's stand-in too) and
  // waits until it owns its names.
  void StartFake(const std::string& option = {}) {
    fake_.Stop();
    std::vector<std::string> argv{FAKE_LOGIND_PATH};
    if (!option.empty()) argv.push_back(option);
    ASSERT_TRUE(fake_.Start(argv));
    ASSERT_EQ(fake_.ReadLine(5000), "ready");
  }

  static inline std::string address_;
  static inline fs::path dir_;
  static inline Child bus_;  // the daemon
  Child fake_;
};

TEST_F(Logind, AcquireFailsPromptlyWithoutLogindOnTheBus) {
  platform::LogindInhibitor inhibitor;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(inhibitor.Acquire("flashutil", "Flashing"));
  EXPECT_LT(MsSince(start), 2500);
}

TEST_F(Logind, InhibitorLockLastsUntilReleaseOrDestruction) {
  StartFake();
  const std::string why = "Flashing drive firmware \xE2\x80\x94 do not switch off";
  {
    platform::LogindInhibitor inhibitor;
    ASSERT_TRUE(inhibitor.Acquire("flashutil", why));
    EXPECT_EQ(fake_.ReadLine(2000), "inhibit sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:handle-hibernate-key|flashutil|" + why + "|block");
    EXPECT_TRUE(inhibitor.Acquire("flashutil", why));  // already held: no second lock
    EXPECT_EQ(fake_.ReadLine(300), std::nullopt) << "lock dropped or taken twice while held";
    inhibitor.Release();
    EXPECT_EQ(fake_.ReadLine(2000), "released");
    inhibitor.Release();  // harmless when not held
    ASSERT_TRUE(inhibitor.Acquire("flashutil", why));
    EXPECT_EQ(fake_.ReadLine(2000), "inhibit sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:handle-hibernate-key|flashutil|" + why + "|block");
  }
  EXPECT_EQ(fake_.ReadLine(2000), "released");  // the destructor let go of it
}

// Simulated drives that look at the stand-ins' lines at the first write to
// the drive and at the INQUIRY that follows the flash start.
class WatchingTransport final : public platform::sim::SimTransport {
 public:
  std::function<void()> atFirstWrite, atRefreshedIdentity;
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (cdb[0] == 0x3B && !written_) {
      written_ = true;
      atFirstWrite();
    }
    if (cdb[0] == 0x12 && flashStarted_) atRefreshedIdentity();
    if (cdb[0] == 0x3B && (cdb[9] == 0x80 || cdb[9] == 0xA0)) flashStarted_ = true;
    return SimTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }

 private:
  bool written_ = false, flashStarted_ = false;
};

// A whole flash with the locks of the window: logind's on sleep, shutdown,
// the lid and the power keys, and the desktop's on the end of the session
// and suspend (logout | suspend = 5), from the portal or, where none runs,
// from GNOME's session manager. Both are taken right before the first write
// to the drive, and let go only after the drive's refreshed identity.
TEST_F(Logind, FlashHoldsTheSessionAndSleepLocksFromTheFirstWriteToTheRefreshedIdentity) {
  const std::string logindLine =
      "inhibit sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:handle-hibernate-key|"
      "VOXTEL Windows Flash utility|Updating drive firmware|block";
  const struct {
    const char* option;
    std::string taken, released;
  } cases[] = {
      {"--portal", "portal inhibit x11:1c00007|5|Updating drive firmware", "portal released"},
      {"--gnome", "gnome inhibit VOXTEL Windows Flash utility|29360135|Updating drive firmware|5", "gnome released 42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    StartFake(c.option);
    testing_support::ServicesScope services;
    platform::LogindInhibitor logind;
    platform::DesktopInhibitor desktop;
    desktop.SetWindow("x11:1c00007", 0x1c00007);
    platform::SleepInhibitors locks({&logind, &desktop});
    platform::GetServices().inhibitor = &locks;
    WatchingTransport transport;
    platform::sim::DriveConfig config;
    config.revisionAfterFlash = "Q150";
    transport.AddDrive(config);
    CDDrive::SetTransport(&transport);
    int looked = 0;
    transport.atFirstWrite = [&] {
      ++looked;
      EXPECT_EQ(fake_.ReadLine(2000), logindLine);
      EXPECT_EQ(fake_.ReadLine(2000), c.taken);
    };
    transport.atRefreshedIdentity = [&] {
      ++looked;
      EXPECT_EQ(fake_.ReadLine(200), std::nullopt) << "a lock let go before the drive's new identity was read";
    };
    const std::vector<uint8_t> package = testing_support::CraftPackage();
    testing_support::TestForm form(package.data());
    services.boxes.AnswerYes(2);  // the start-up warning, the update
    form.FormCreate();
    form.FlashButtonClick();
    EXPECT_EQ(form.GetStatus(), "Flash Completed.");
    EXPECT_EQ(looked, 2);
    EXPECT_EQ(fake_.ReadLine(2000), c.released);
    EXPECT_EQ(fake_.ReadLine(2000), "released");
    CDDrive::SetTransport(nullptr);
  }
}

TEST_F(Logind, RebootIsRequestedWithoutInteraction) {
  StartFake();
  platform::LogindRestart().RequestReboot();
  EXPECT_EQ(fake_.ReadLine(2000), "reboot false");
}

// Runs itself again in a fresh process whose system bus address leads nowhere:
// the cached system bus of this process cannot be pointed elsewhere.
TEST(LogindNoBus, AcquireFailsQuicklyWhenTheBusIsUnreachable) {
  if (std::getenv("LOGIND_TEST_NO_BUS_CHILD")) {
    platform::LogindInhibitor inhibitor;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(inhibitor.Acquire("flashutil", "Flashing"));
    EXPECT_LT(MsSince(start), 1000);
    return;
  }
  const fs::path nowhere = fs::temp_directory_path() / ("logind-test-no-bus-" + std::to_string(::getpid()));
  Child child;
  ASSERT_TRUE(child.Start({fs::read_symlink("/proc/self/exe").string(),
                           "--gtest_filter=LogindNoBus.AcquireFailsQuicklyWhenTheBusIsUnreachable"},
                          {"LOGIND_TEST_NO_BUS_CHILD=1", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + nowhere.string()}));
  std::string output;
  while (std::optional<std::string> line = child.ReadLine(10000)) output += *line + "\n";
  const int status = child.Stop(0, 10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;  // it did run
}

}  // namespace
