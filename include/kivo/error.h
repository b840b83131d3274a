// Error values, and KIVOError: the library's one way of reporting faults to the host, as
// "kivo.error" notifications on the default notification center.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kivo/export.h"
#include "kivo/notification_center.h"
#include "kivo/thread_annotations.h"

namespace kivo {

// An error value: domain, code and an optional localized description.
struct KIVO_API Error {
  std::string domain;
  int64_t code = 0;
  std::optional<std::string> localizedDescription;

  // "Error Domain=KIVO Code=504 \"text\"" (the quoted part only with a description).
  std::string description() const;
  friend bool operator==(const Error&, const Error&) = default;
};

// Fault codes posted as "kivo.error".
enum KIVOErrorCode : int64_t {
  KIVOErrorCodeInterruptionBegan = 100,
  KIVOErrorCodeInterruptionEnded = 101,
  KIVOErrorCodeNetworkUnreachable = 400,
  KIVOErrorCodeAuthenticationFailed = 401,
  KIVOErrorCodeRecordPermissionDenied = 402,
  KIVOErrorCodeAudioRecorderFailed = 501,  // filtered: only runs of close failures are posted
  KIVOErrorCodeAudioPackDumpFailed = 502,
  KIVOErrorCodeInvalidAuthenticationAnswer = 503,
  KIVOErrorCodeAudioPackDownloadFailed = 504,
};

// The process-wide error reporter. Thread-safe: faults arrive from the main thread, the audio
// thread and network queues; recording a code-501 fault, testing the filter and stamping the post
// time are one critical section, timed on the monotonic clock.
class KIVO_API KIVOError {
 public:
  static KIVOError& shared();

  static constexpr std::string_view errorNotificationName() { return "kivo.error"; }
  static constexpr std::string_view errorDomain() { return "KIVO"; }

  static Error errorWithErrorCode(int64_t code);
  static Error errorWithErrorCode(int64_t code, std::string description);

  // Records the fault and, when the filter allows, logs "KIVOError: Posting error code %d reason
  // [%@]" and posts "kivo.error" synchronously on this thread: object the error value (no
  // description), user info {"reason": reason} only when a reason is given.
  static void postErrorNotificationWithErrorCode(int64_t code, std::optional<std::string> reason = std::nullopt);

  // The filter's steps, each under the lock; they act on code 501 only.
  void hitError(const Error& error);
  bool isNeedPostNotificationForError(const Error& error);
  void didPostErrorNotificationWithError(const Error& error);

  // A fresh reporter (tests; the library uses shared()).
  KIVOError() = default;
  KIVOError(const KIVOError&) = delete;
  KIVOError& operator=(const KIVOError&) = delete;

  // Posts through this instance's filter (what the static operation does on shared()).
  void post(int64_t code, const std::optional<std::string>& reason);

 private:
  using Instant = std::chrono::steady_clock::time_point;  // read from the library's clock

  void recordLocked(Instant now) KIVO_REQUIRES(mutex_);
  bool allowsLocked(Instant now) const KIVO_REQUIRES(mutex_);

  Mutex mutex_;
  // Times of the four latest code-501 faults, oldest first; nothing before there were four.
  std::array<std::optional<Instant>, 4> lastAudioErrorTimes_ KIVO_GUARDED_BY(mutex_){};
  std::optional<Instant> lastAudioErrorPostTime_ KIVO_GUARDED_BY(mutex_);
};

}  // namespace kivo
