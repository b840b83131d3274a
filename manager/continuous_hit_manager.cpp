#include "kivo/continuous_hit_manager.h"

#include <cmath>

#include "kivo/log.h"
#include "network/console_endpoints.h"
#include "platform/clock.h"

namespace kivo {

namespace {

double secondsSince1970(WallTime time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

}  // namespace

void KIVOContinuousHitManager::setTimeout(double seconds) {
  if (std::isnan(seconds)) {
    logLine("[WARN] KIVOContinuousHitManager ignores a timeout that is not a number");
    return;
  }
  timeout_ = seconds;
}

void KIVOContinuousHitManager::setLastHitTime(double secondsSince1970) {
  lastHitTime_ = secondsSince1970;
  lastHitMonotonic_.reset();
}

double KIVOContinuousHitManager::elapsedSinceLastHit() const {
  if (lastHitMonotonic_) return std::chrono::duration<double>(monotonicNow() - *lastHitMonotonic_).count();
  return secondsSince1970(now()) - lastHitTime_;
}

bool KIVOContinuousHitManager::canHitWithIdentifier(const std::optional<std::string>& identifier,
                                                    double /*length*/) const {
  if (policy_ == KIVOContinuousHitPolicyAlways) return true;
  if (!identifier || !lastHitIdentifier_ || *identifier != *lastHitIdentifier_) return true;
  switch (policy_) {
    case KIVOContinuousHitPolicyTimeout:
    case KIVOContinuousHitPolicyLength:
      return elapsedSinceLastHit() > timeout_;
    default:
      return false;
  }
}

void KIVOContinuousHitManager::hitWithIdentifier(const std::optional<std::string>& identifier, double length) {
  lastHitIdentifier_ = identifier;
  lastHitTime_ = secondsSince1970(now());
  lastHitMonotonic_ = monotonicNow();
  if (policy_ == KIVOContinuousHitPolicyLength) {
    // A broken length must not refuse the media for ever.
    const double product = std::isfinite(length) && length > 0.0 ? static_cast<double>(multipier_) * length : 0.0;
    timeout_ = std::isfinite(product) ? product : 0.0;
  }
}

bool KIVOContinuousHitManager::canHitWithMediaDictionary(const nlohmann::json& media) const {
  return canHitWithIdentifier(identifierFromMediaDictionary(media), lengthFromMediaDictionary(media));
}

void KIVOContinuousHitManager::hitWithMediaDictionary(const nlohmann::json& media) {
  hitWithIdentifier(identifierFromMediaDictionary(media), lengthFromMediaDictionary(media));
}

std::optional<std::string> KIVOContinuousHitManager::identifierFromMediaDictionary(const nlohmann::json& media) {
  const auto* result = console::member(media, "result");
  if (!result) return std::nullopt;
  const auto* identifier = console::member(*result, "_id");
  if (!identifier) return std::nullopt;
  return console::identifierValue(*identifier);
}

double KIVOContinuousHitManager::lengthFromMediaDictionary(const nlohmann::json& media) {
  const auto* duration = console::member(media, "duration");
  if (!duration || !duration->is_number()) return 0.0;
  return duration->get<double>();
}

void KIVOContinuousHitManager::reset() { lastHitIdentifier_ = std::string(); }

KIVOContinuousHitManager::Snapshot KIVOContinuousHitManager::snapshot() const {
  Snapshot s;
  s.identifier = lastHitIdentifier_;
  s.time = lastHitTime_;
  s.timeout = timeout_;
  s.monotonic = lastHitMonotonic_;
  return s;
}

void KIVOContinuousHitManager::restore(const Snapshot& snapshot) {
  lastHitIdentifier_ = snapshot.identifier;
  lastHitTime_ = snapshot.time;
  timeout_ = snapshot.timeout;
  lastHitMonotonic_ = snapshot.monotonic;
}

}  // namespace kivo
