// The recognition run: start and stop, the block callback, local matching with its waiting block,
// local results by resultType, the watchdog and the freshness checks. Every step runs on the main
// queue; each carries the run it began in, so work of an earlier run never reaches a later one.
#include "audiopack/named_exception.h"
#include "kivo/audio_converter.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/continuous_hit_manager.h"
#include "kivo/dates.h"
#include "kivo/debug_log.h"
#include "kivo/error.h"
#include "kivo/format.h"
#include "kivo/kivo_matcher.h"
#include "kivo/location_manager.h"
#include "kivo/log.h"
#include "kivo/log_store.h"
#include "kivo/manager.h"
#include "kivo/match_result.h"
#include "kivo/user.h"
#include "platform/clock.h"

namespace kivo {

namespace {

constexpr auto kWatchdogInterval = std::chrono::seconds(3);
constexpr double kSilentGap = 3.0;
constexpr double kSilentGapLive = 7.0;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(monotonicNow() - start).count();
}

// "position", "duration", "score" and "result" of a local match.
nlohmann::json mediaDictionary(const KIVOMatchResult& result) {
  return {{"position", static_cast<double>(result.position())},
          {"duration", result.duration()},
          {"score", result.score()},
          {"result", result.metadata()}};
}

}  // namespace

struct KIVOManager::HitSnapshot {
  std::shared_ptr<KIVOContinuousHitManager> hitManager;  // the one that recorded the hit
  KIVOContinuousHitManager::Snapshot before;
  std::optional<std::string> identifier;  // the hit as recorded
  double time = 0.0;
};

KIVOAudioRecorder& KIVOManager::audioRecorder() {
  return recorderOverride_ ? *recorderOverride_ : KIVOAudioRecorder::shared();
}

bool KIVOManager::isRecorderRunning() const { return recorder_ && recorder_->isRunning(); }

std::shared_ptr<const KIVOManager::RawBufferHandler> KIVOManager::sharedRawBufferHandler() const {
  MutexLock lock(configurationMutex_);
  return rawBufferHandler_;
}

void KIVOManager::startWithRepeat(bool repeat, RecognitionHandler handler) {
  if (type_ == KIVOManagerDetectTypeUnknown)
    throw NamedException("Recognition Type Error", "You must assign detect type by using prepareWithType: method");
  startWithType(type_, repeat, std::move(handler));
}

void KIVOManager::startWithType(int32_t type, bool repeat, RecognitionHandler handler) {
  if (running_ || awaitingPermission_) {
    logLine("already running. use stop method before.");
    return;
  }
  awaitingPermission_ = true;
  const uint64_t run = ++run_;
  auto answer = [weak = weak_from_this(), run, type, repeat, handler = std::move(handler)](bool granted) mutable {
    // The provider may answer on any thread, at once or later: the start continues on main.
    dispatch::Queue::main().async(
        [weak, run, type, repeat, handler = std::move(handler), granted]() mutable {
          if (const auto manager = weak.lock())
            manager->permissionAnswered(run, type, repeat, std::move(handler), granted);
        });
  };
  const auto provider = audioRecorder().queueRecorder().recordPermissionProvider();
  if (provider)
    provider->requestRecordPermission(std::move(answer));
  else
    answer(true);
}

void KIVOManager::permissionAnswered(uint64_t run, int32_t type, bool repeat, RecognitionHandler handler,
                                     bool granted) {
  if (run != run_ || !awaitingPermission_) {
    logDebugLine("[INFO] record permission answered for a start that was stopped");
    return;
  }
  awaitingPermission_ = false;
  if (!granted) {
    logLine("Grating audio record permission was denied");
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeRecordPermissionDenied);
    return;
  }
  logLine("Granting audio record permission was allowed");
  continueStart(type, repeat, std::move(handler));
}

void KIVOManager::continueStart(int32_t type, bool repeat, RecognitionHandler handler) {
  KIVODebugLog("Start KIVO [%@]", NSStringFromKIVOManagerDetectType(type));
  if (recorder_) recorder_->setDebugMode(debugMode());
  if (apiVersion() != 1) {
    if (prepareStatus_ == KIVOPrepareStatusAuthFailed || prepareStatus_ == KIVOPrepareStatusIdle) {
      logLine(format("[INFO] start skipped: preparation status %d", prepareStatus_));
      if (prepareStatus_ == KIVOPrepareStatusIdle) {
        try {
          prepareWithType(type);
        } catch (const NamedException& e) {
          logLine(format("[ERROR] %@: %@", e.name(), e.reason()));
        }
      }
      return;
    }
    if (type_ != type)
      logLine(format("[WARN] start type %@ differs from prepared type %@", NSStringFromKIVOManagerDetectType(type),
                     NSStringFromKIVOManagerDetectType(type_)));
  }
  configureDebugOutput();

  type_ = type;
  repeat_ = repeat;
  setRecognitionHandler(std::move(handler));
  if (type == KIVOManagerDetectTypeCloud && useLocationService()) KIVOLocationManager::sharedManager().start();

  auto& recorder = audioRecorder();
  recorder_ = &recorder;
  if (type == KIVOManagerDetectTypeLive) recorder.setRequiredBufferSize(KIVOBufferSize(5.0));
  recorder.setDebugMode(debugMode());
  recorder.setBufferHandler([weak = weak_from_this()](Bytes block) {
    if (const auto manager = weak.lock()) manager->handleAudioBuffer(std::move(block));
  });
  recorder.prepareWithDuration(0);
  recorder.setRawBufferHandler([weak = weak_from_this()](const uint8_t* bytes, uint64_t size) {
    const auto manager = weak.lock();
    if (!manager) return;
    if (const auto host = manager->sharedRawBufferHandler()) (*host)(bytes, size);
  });
  recorder.start();
  scheduleWatchdog();
  running_ = true;
}

void KIVOManager::scheduleWatchdog() {
  if (watchdog_) watchdog_->invalidate();
  watchdog_ = dispatch::Timer::repeating(dispatch::Queue::main(), kWatchdogInterval, [weak = weak_from_this()] {
    if (const auto manager = weak.lock()) manager->interruptionTimerHandler();
  });
}

void KIVOManager::stopRecognition() {
  if (recorder_) {
    if (recorder_->isRunning() && !running_)
      logLine("Recorder is running, but manager already stopped. Try stopping recorder...");
    // Also cancels a start that still waits for its permission answer.
    recorder_->stop();
    recorder_->setBufferHandler({});
    recorder_->setRawBufferHandler({});
  }
  KIVODebugLog("Stop KIVO");
  if (watchdog_) watchdog_->invalidate();
  watchdog_.reset();
  ++run_;
  awaitingPermission_ = false;
  running_ = false;
  matching_ = false;  // completions of the ended run no longer clear it
  setRecognitionHandler({});
  setCloudResponseHandler({});
  lastAudioBuffer_.reset();
  audioDataQueue_.clear();
}

void KIVOManager::handleAudioBuffer(Bytes buffer) {
  if (loadingAudioPacks()) {
    logDebugLine("ignoring audio buffer because loading audio packs in currently");
    return;
  }
  if (apiVersion() != 1 && prepareStatus_ != KIVOPrepareStatusCompleted) return;
  KIVODebugLog("Received Audio Buffer %d bytes", buffer.size());
  switch (type_) {
    case KIVOManagerDetectTypeLive: liveMatchWithAudioBuffer(std::move(buffer)); break;
    case KIVOManagerDetectTypeIAR: localMatchWithAudioBuffer(std::move(buffer)); break;
    case KIVOManagerDetectTypeCloud: cloudMatchWithAudioBuffer(std::move(buffer)); break;
    default: break;
  }
}

void KIVOManager::localMatchWithAudioBuffer(Bytes buffer) {
  const auto current = matcher();
  const auto metadata = current ? current->metadata() : nlohmann::json();
  if (!current || !metadata.is_object() || metadata.empty()) {
    logDebugLine("No matcher or no metadata. Skipping match...");
    return;
  }
  if (matching_) {
    lastAudioBuffer_ = std::move(buffer);
    return;
  }
  if (!running_) return;
  matching_ = true;
  current->matchDoublePCM(std::move(buffer), [weak = weak_from_this(), run = run_, started = monotonicNow()](
                                                 std::optional<KIVOMatchResult> result) {
    if (const auto manager = weak.lock()) manager->localMatchFinished(run, started, std::move(result));
  });
}

void KIVOManager::localMatchFinished(uint64_t run, MonotonicStamp started, std::optional<KIVOMatchResult> result) {
  if (run != run_) {
    logDebugLine("[INFO] match of an ended run dropped");
    return;
  }
  const double elapsed = secondsSince(started);
  matching_ = false;
  logDebugLine(format("recognition time: %.2fs", elapsed));
  if (result) {
    auto media = mediaDictionary(*result);
    if (!hitManager_->canHitWithMediaDictionary(media)) return;
    auto before = std::make_shared<HitSnapshot>();
    before->hitManager = hitManager_;
    before->before = hitManager_->snapshot();
    hitManager_->hitWithMediaDictionary(media);
    before->identifier = hitManager_->lastHitIdentifier();
    before->time = hitManager_->lastHitTime();
    KIVOLogItem item(media);
    if (useLocationService()) item.location = KIVOLocationManager::sharedManager().location();
    item.setUserDataWithUserName(KIVOUser::currentUser().name());
    auto completion = [weak = weak_from_this(), run, media, found = *result,
                       before = std::shared_ptr<const HitSnapshot>(std::move(before))](
                          std::optional<nlohmann::json> answer) mutable {
      if (const auto manager = weak.lock()) manager->activityAnswered(run, media, found, before, std::move(answer));
    };
    if (logStore_) {
      logStore_->sendActivityImmediatelyWithLogItem(item, std::move(completion));
    } else {
      dispatch::Queue::main().async([completion = std::move(completion)]() mutable { completion(std::nullopt); });
    }
  }
  if (const auto handler = matchIntervalHandler()) handler(elapsed);
  if (lastAudioBuffer_) {
    auto waiting = std::move(*lastAudioBuffer_);
    lastAudioBuffer_.reset();
    localMatchWithAudioBuffer(std::move(waiting));
  }
}

void KIVOManager::activityAnswered(uint64_t run, const nlohmann::json& media, const KIVOMatchResult& result,
                                   std::shared_ptr<const HitSnapshot> before, std::optional<nlohmann::json> answer) {
  if (!answer) {
    logLine("KIVOManager: received nil recognition result");
    // The hit was neither reported nor delivered: the next match of the media counts again.
    // Only while no later hit has replaced this one.
    const auto& hits = *before->hitManager;
    if (hits.lastHitIdentifier() == before->identifier && hits.lastHitTime() == before->time)
      before->hitManager->restore(before->before);
    return;
  }
  if (run != run_) {
    logDebugLine("[INFO] activity answer of an ended run dropped");
    return;
  }
  const auto handler = recognitionHandler();
  std::optional<nlohmann::json> campaign;
  if (answer->is_object() && answer->contains("campaign")) campaign = (*answer)["campaign"];
  const int32_t shape = resultType();
  std::optional<nlohmann::json> delivered;
  if (shape == 0) {
    delivered = media;
    if (campaign) (*delivered)["campaign"] = *campaign;
  } else if (shape == 1) {
    delivered = nlohmann::json{{"position", media["position"]}, {"duration", media["duration"]},
                               {"score", media["score"]}};
    if (campaign) (*delivered)["campaign"] = *campaign;
    if (result.metadata().is_object())
      for (const auto& [key, value] : result.metadata().items()) (*delivered)[key] = value;
  }
  const bool repeat = repeat_;
  if (handler && delivered) handler(std::move(delivered), std::nullopt);
  // The handler may have stopped this run and started another.
  if (!repeat && run == run_) stop();
}

void KIVOManager::interruptionTimerHandler() {
  if (!running_ || !recorder_) return;
  if (const auto date = nextUpdateDate()) {
    const double until = std::chrono::duration<double>(*date - now()).count();
    if (debugLinesEnabled())
      logLine(format("[INFO] next update date: %@ (after %.0fs)",
                     formatDate(*date, "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::UTC), until));
    if (until < 0) {
      setNextUpdateDate(std::nullopt);
      logLine("[INFO] Trigger updating audiopacks by datetime scheduler.");
      checkUpdateAudioPacks();
      return;
    }
  }
  auto& recorder = *recorder_;
  const bool interrupted = recorder.interrupting();
  const double gap = recorder.lastAudioBufferInterval();
  const double limit = type_ == KIVOManagerDetectTypeLive ? kSilentGapLive : kSilentGap;
  if (!interrupted && gap > limit) {
    logDebugLine(
        format("T2CI: no interruption but no incoming audio buffer(%.2f). maybe audio recorder stopped by another one",
               gap));
    if (recorder.isRecording()) {
      logDebugLine("T2CI: trying to stop audio recorder for restart...");
      recorder.stop();
    }
  } else if (!interrupted && !recorder.isRecording()) {
    logDebugLine("T2CI: trying to start audio recorder...");
    recorder.start();
  } else if (interrupted) {
    logDebugLine("T2CI: found audio recorder interruption. trying restart audio recorder");
    recorder.restart();
  } else {
    logDebugLine("T2CI: currently no interruption. Peace :D");
  }
}

bool KIVOManager::isFreshResult(const KIVOMatchResult* result) {
  if (!result) {
    logLine("WARN: Result is nil");
    return false;
  }
  if (lastIdentifier_ && *lastIdentifier_ == result->name()) return false;
  lastIdentifier_ = result->name();
  return true;
}

bool KIVOManager::isFreshLiveResult(const nlohmann::json* answer) {
  if (!answer) {
    logLine("WARN: Result is nil");
    return false;
  }
  if (!answer->is_object() || !answer->contains("channel")) return false;
  const auto& value = (*answer)["channel"];
  const std::string channel = value.is_string() ? value.get<std::string>() : value.dump();
  if (lastIdentifier_ && *lastIdentifier_ == channel) return false;
  lastIdentifier_ = channel;
  return true;
}

void KIVOManager::applicationDidEnterBackground() {
  audioRecorder().queueRecorder().applicationDidEnterBackground();
}

}  // namespace kivo
