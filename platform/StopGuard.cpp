#include "platform/StopGuard.h"

#include "platform/Transcript.h"

namespace platform {

StopGuard::Taken StopGuard::Request(const std::string& cause) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (firstCause_.empty()) firstCause_ = cause;
  if (writing_) {
    if (heldCause_.empty()) heldCause_ = cause;
    // Every request is written when it comes, the first and the later ones.
    if (transcript_ != nullptr) transcript_->Held(cause);
    return Taken::Held;
  }
  if (stopCause_.empty()) stopCause_ = cause;
  return Taken::Stop;
}

bool StopGuard::Writing() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return writing_;
}

std::string StopGuard::Pending() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return firstCause_;
}

bool StopGuard::Suspend() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (writing_) return false;
  suspended_ = true;
  return true;
}

void StopGuard::Resume() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = false;
  }
  resumed_.notify_all();
}

bool StopGuard::Requested() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return !stopCause_.empty();
}

std::string StopGuard::Cause() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return stopCause_;
}

bool StopGuard::BeginWriting(Transcript* transcript) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A suspended program writes nothing: the flash waits for it to go on.
  resumed_.wait(lock, [this] { return !suspended_; });
  if (!stopCause_.empty()) return false;
  writing_ = true;
  heldCause_.clear();
  transcript_ = transcript;
  return true;
}

std::string StopGuard::EndWriting() {
  const std::lock_guard<std::mutex> lock(mutex_);
  writing_ = false;
  transcript_ = nullptr;
  return heldCause_;
}

}  // namespace platform
