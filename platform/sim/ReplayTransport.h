// A recorded flash played back: a transport whose one drive answers as the
// drive of a transcript did, message boxes answered as the user answered
// them, and the comparison of the flash the program runs again with the one
// it recorded.
//
// The drive is the transcript's: its node and address, and its identity for
// the INQUIRY of the start-up, which the transcript does not hold (where the
// entry holds none, the identity the start-up found, for its first INQUIRY
// alone: the later ones failed). From
// BeginFlash on, each command must be the next recorded one (its 12 bytes,
// direction, length, time-out and the digest of the data sent); it is then
// answered as recorded: the bytes that arrived (and only those are written
// into the buffer, as on /dev/sgN), status, sense, residual, error code, and
// a time-out without the wait. The first command that differs, or that
// comes after the last recorded one, is a divergence: it and every command
// after it fail as a transport error, so nothing is answered from a guess.
// A command whose answer the recording lacks because an exception ended the
// recorded flash there throws as well.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandLibrary.h"
#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/Transport.h"

namespace platform::sim {

// Where the replay left the recording.
struct ReplayDifference {
  size_t line = 0;       // the recorded line that differs (or that the replay did not reach)
  std::string recorded;  // that line's record, without its time ("" past the end)
  std::string replayed;  // what the replay did there ("" when it ended before)
};

// The error code of a command the recording does not answer.
constexpr int kReplayDiverged = EIO;

class ReplayTransport final : public DriveTransport {
 public:
  explicit ReplayTransport(const ParsedTranscript& transcript);

  bool IsSimulated() const override { return true; }
  std::vector<DeviceInfo> EnumerateDrives() override;
  int Open(const DeviceInfo& device, DeviceHandle& handle) override;
  // As recorded; false where the recording does not tell.
  bool FiltersCommands(DeviceHandle handle) const override;
  // As recorded; where the recording holds no hold (the command library's
  // path), the drive is held.
  HoldOutcome LockExclusive(DeviceHandle handle) override;
  void UnlockExclusive(DeviceHandle) override {}
  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length,
                         unsigned timeoutSeconds) override;
  void Close(DeviceHandle) override {}

  // Whether the recorded program showed every failed command in a box of
  // its own (a drive had not opened at its start-up, which the transcript
  // does not hold): the replay's program must do the same.
  bool ErrorsShown() const;
  // Whether the recorded program reached the drive through the command
  // library (its answers carry the library's status): the replay must too.
  bool ThroughLibrary() const;
  // The command library's status in the answer to the last command, where
  // the recording has it.
  const std::optional<LibraryStatus>& LastLibraryStatus() const { return lastLibrary_; }
  // From now on the commands are those of the recorded flash.
  void BeginFlash() { begun_ = true; }
  // Whether the recorded flash took a stop here: the next recorded record
  // is the stop (or it was).
  bool StopReached() const;
  // What asked for the recorded stop ("SIGINT", ...); empty where the
  // recording does not name it.
  std::string StopCause() const;
  // What the recorded flash held off while it wrote to the drive (its first
  // "held" record); empty when nothing was.
  std::string HeldCause() const;
  // The first command that was not the recorded one; unset while there is none.
  const std::optional<ReplayDifference>& Divergence() const { return divergence_; }

 private:
  // The next recorded command, from next_ on, or with `also` that kind too
  // (a hold, the filtering); null when there is none.
  const TranscriptRecord* Next(TranscriptRecord::Kind also = TranscriptRecord::Kind::Request) const;
  CommandOutcome Diverge(const std::string& came);

  const ParsedTranscript& transcript_;
  DeviceInfo device_;
  std::string inquiry_;  // vendor, product and revision: 28 bytes
  bool onlyFirstInquiry_ = false;  // the start-up's later INQUIRYs failed: the entry holds no identity
  unsigned startupInquiries_ = 0;
  bool begun_ = false;
  mutable size_t next_ = 0;
  mutable bool stopped_ = false;
  std::optional<ReplayDifference> divergence_;
  std::optional<LibraryStatus> lastLibrary_;
};

// The command library of a recording made through it: one host adapter
// more than the recorded drive's, the recorded drive at its adapter and
// target alone, and each request answered by the replay transport (the
// request stays pending until it is waited for, when its time-out is known)
// with the library's status as recorded.
class ReplayLibraryPath final : public CommandLibraryPath {
 public:
  explicit ReplayLibraryPath(ReplayTransport& transport) : transport_(transport) {}
  bool UsesPassThrough() override { return false; }
  std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string& name) override;

 private:
  ReplayTransport& transport_;
};

// The request to stop where the recorded flash took it, and the request it
// held off while it wrote, which it honoured once it was over.
class ReplayStops final : public StopRequests {
 public:
  explicit ReplayStops(const ReplayTransport& transport) : transport_(transport) {}
  bool Requested() const override { return transport_.StopReached(); }
  std::string Cause() const override { return transport_.StopCause(); }
  bool BeginWriting(Transcript*) override { return !transport_.StopReached(); }
  std::string EndWriting() override { return transport_.HeldCause(); }

 private:
  const ReplayTransport& transport_;
};

// Boxes answered as recorded once the flash began (before it, the start-up
// warning is answered Yes, any other box OK). `shown` sees each box with the
// answer it gets. A box of another kind, caption, text or buttons than the
// next recorded one, or one past the recorded boxes, is noted, answered No
// (or OK), and so is every box after it.
class ReplayBoxes final : public MessageBoxes {
 public:
  using Observer = std::function<void(BoxKind, const std::string& caption, const std::string& text, BoxButtons,
                                      BoxAnswer)>;
  explicit ReplayBoxes(const ParsedTranscript& transcript, Observer shown = {});
  BoxAnswer Show(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) override;

  void BeginFlash() { begun_ = true; }
  const std::optional<ReplayDifference>& Divergence() const { return divergence_; }

 private:
  const ParsedTranscript& transcript_;
  Observer shown_;
  bool begun_ = false;
  size_t next_ = 0;
  std::optional<ReplayDifference> divergence_;
};

// A clock that does not wait: the recorded drive did its waiting.
class ReplayClock final : public Clock {
 public:
  void SleepMs(unsigned) override {}
};

// The first place where the replayed flash's transcript differs from the
// recorded one: every record in order, each box with its answer, status
// line, drive entry, hold, stop and command with its answer (not the times, how
// long a command took, nor where in the drive box the entry stands: the
// replay lists the recorded drive alone, nor the requests that the recorded
// flash held off, which came from outside). `addedBox` is a plain box the replay may show
// where the recording has none (the restart that simulated drives do not
// do, after a Yes that restarted the recorded machine). A drive held
// where the recording holds none (the command library's path) is no
// difference either. Unset: the same.
std::optional<ReplayDifference> CompareReplay(const ParsedTranscript& recorded, const ParsedTranscript& replayed,
                                              const std::string& addedBox = {});

// A record shortened for a one-line message: at most `limit` characters.
std::string ShortRecord(const std::string& text, size_t limit = 100);

}  // namespace platform::sim
