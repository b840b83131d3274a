// KIVOContinuousHitManager: decides whether a new match of a media counts as a new hit. It
// remembers only the last hit: a different media is always a hit, the same media again is judged
// by the policy. Callers ask canHit... first and record with hit... only when it said yes.
//
// Time comes from the installed kivo::Clock. lastHitTime is wall time (seconds since 1970); the
// elapsed time of the timeout policies is measured on the monotonic clock from the moment of the
// hit, and on the wall clock only when the host set lastHitTime itself.
//
// Used on the main queue only; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "kivo/export.h"

namespace kivo {

// Rule for a match of the same identifier as the last hit. Signed 32-bit; any other value means
// such a match is never a hit.
enum KIVOContinuousHitPolicy : int32_t {
  KIVOContinuousHitPolicyAlways = 0,   // every match is a hit
  KIVOContinuousHitPolicyOnce = 1,     // never, until another media was hit or reset
  KIVOContinuousHitPolicyTimeout = 2,  // when more than timeout seconds passed since the last hit
  KIVOContinuousHitPolicyLength = 3,   // likewise; each hit sets timeout = multipier x media length
};

class KIVO_API KIVOContinuousHitManager {
 public:
  // The last hit with its clocks: what a caller keeps to undo a hit whose report failed.
  class Snapshot {
   private:
    friend class KIVOContinuousHitManager;
    std::optional<std::string> identifier;
    double time = 0.0;
    double timeout = 0.0;
    std::optional<std::chrono::steady_clock::time_point> monotonic;
  };

  // Policy Always, timeout 0.0, multipier 3, lastHitTime 0.0, lastHitIdentifier "".
  KIVOContinuousHitManager() = default;

  int32_t policy() const { return policy_; }
  void setPolicy(int32_t value) { policy_ = value; }
  // Quiet time in seconds for the timeout policies. A NaN is refused (logged, value kept).
  double timeout() const { return timeout_; }
  void setTimeout(double seconds);
  // Factor of the media length for KIVOContinuousHitPolicyLength (the spelling is the API's).
  int64_t multipier() const { return multipier_; }
  void setMultipier(int64_t value) { multipier_ = value; }
  // Wall time of the last hit, seconds since 1970. Setting it makes elapsed time wall time too.
  double lastHitTime() const { return lastHitTime_; }
  void setLastHitTime(double secondsSince1970);
  // Identifier of the last hit; nothing after a hit of a media without identifier.
  const std::optional<std::string>& lastHitIdentifier() const { return lastHitIdentifier_; }
  void setLastHitIdentifier(std::optional<std::string> identifier) { lastHitIdentifier_ = std::move(identifier); }

  // Whether a match of identifier would be a hit. An absent identifier differs from every one,
  // also from an absent last one. length is not used. Changes nothing.
  bool canHitWithIdentifier(const std::optional<std::string>& identifier, double length) const;
  // Records a hit now. KIVOContinuousHitPolicyLength sets timeout = multipier x length, where a
  // negative or non-finite length, or a product that is not finite, counts as 0.
  void hitWithIdentifier(const std::optional<std::string>& identifier, double length);
  // The same with the identifier and length read from a media dictionary.
  bool canHitWithMediaDictionary(const nlohmann::json& media) const;
  void hitWithMediaDictionary(const nlohmann::json& media);
  // "_id" inside the dictionary's "result" object: a string, or an integral number as decimal
  // text; nothing otherwise.
  static std::optional<std::string> identifierFromMediaDictionary(const nlohmann::json& media);
  // The number under "duration"; 0.0 when absent or not a number.
  static double lengthFromMediaDictionary(const nlohmann::json& media);

  // Forgets the last identifier (lastHitIdentifier ""); time and timeout stay.
  void reset();

  // The last hit as it is now, and its restoration (identifier, time, timeout).
  Snapshot snapshot() const;
  void restore(const Snapshot& snapshot);

 private:
  double elapsedSinceLastHit() const;

  int32_t policy_ = KIVOContinuousHitPolicyAlways;
  double timeout_ = 0.0;
  int64_t multipier_ = 3;
  double lastHitTime_ = 0.0;
  std::optional<std::string> lastHitIdentifier_ = std::string();
  // Monotonic moment of the last hit; nothing when lastHitTime came from the host (or none yet).
  std::optional<std::chrono::steady_clock::time_point> lastHitMonotonic_;
};

}  // namespace kivo
