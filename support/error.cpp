#include "kivo/error.h"

#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/clock.h"

namespace kivo {
namespace {

constexpr auto kRunGap = std::chrono::duration<double>(5.0);
constexpr auto kSilence = std::chrono::duration<double>(300.0);

}  // namespace

std::string Error::description() const {
  std::string text = format("Error Domain=%@ Code=%ld", domain, code);
  if (localizedDescription) text += format(" \"%@\"", *localizedDescription);
  return text;
}

KIVOError& KIVOError::shared() {
  static auto* instance = new KIVOError;  // lives for the process
  return *instance;
}

Error KIVOError::errorWithErrorCode(int64_t code) { return Error{std::string(errorDomain()), code, std::nullopt}; }

Error KIVOError::errorWithErrorCode(int64_t code, std::string description) {
  return Error{std::string(errorDomain()), code, std::move(description)};
}

void KIVOError::postErrorNotificationWithErrorCode(int64_t code, std::optional<std::string> reason) {
  shared().post(code, reason);
}

void KIVOError::recordLocked(Instant now) {
  std::move(lastAudioErrorTimes_.begin() + 1, lastAudioErrorTimes_.end(), lastAudioErrorTimes_.begin());
  lastAudioErrorTimes_.back() = now;
}

bool KIVOError::allowsLocked(Instant now) const {
  if (lastAudioErrorPostTime_ && now - *lastAudioErrorPostTime_ < kSilence) return false;
  for (size_t i = 1; i < lastAudioErrorTimes_.size(); ++i) {
    const auto& earlier = lastAudioErrorTimes_[i - 1];
    const auto& later = lastAudioErrorTimes_[i];
    if (!earlier || !later || *later - *earlier > kRunGap) return false;  // fewer than four faults yet
  }
  return true;
}

void KIVOError::hitError(const Error& error) {
  if (error.code != KIVOErrorCodeAudioRecorderFailed) return;
  MutexLock lock(mutex_);
  recordLocked(monotonicNow());
}

bool KIVOError::isNeedPostNotificationForError(const Error& error) {
  if (error.code != KIVOErrorCodeAudioRecorderFailed) return true;
  MutexLock lock(mutex_);
  return allowsLocked(monotonicNow());
}

void KIVOError::didPostErrorNotificationWithError(const Error& error) {
  if (error.code != KIVOErrorCodeAudioRecorderFailed) return;
  MutexLock lock(mutex_);
  lastAudioErrorPostTime_ = monotonicNow();
}

void KIVOError::post(int64_t code, const std::optional<std::string>& reason) {
  Error error = errorWithErrorCode(code);
  bool needed = true;
  if (code == KIVOErrorCodeAudioRecorderFailed) {
    MutexLock lock(mutex_);
    const Instant now = monotonicNow();
    recordLocked(now);
    needed = allowsLocked(now);
    if (needed) lastAudioErrorPostTime_ = now;  // claimed here, so two "fourth" faults cannot both post
  }
  if (!needed) {
    if (debugLinesEnabled())
      logLine(format("KIVOError: Storing error code %ld but not notify because the discontinueing error is not fault ;-)", code));
    return;
  }
  logLine(format("KIVOError: Posting error code %d reason [%@]", code, reason.value_or("Unknown")));
  nlohmann::json userInfo = reason ? nlohmann::json{{"reason", *reason}} : nlohmann::json();
  NotificationCenter::defaultCenter().post(std::string(errorNotificationName()), error, std::move(userInfo));
}

}  // namespace kivo
