// The preparation chain: local packs, authentication with its retries, download, dump, completed.
// Every step runs on the main queue and carries the generation of the chain it belongs to: a step
// of a chain that stop, removeAllAudioPacks, reset or a custom preparation ended changes nothing.
#include <algorithm>
#include <system_error>

#include "audiopack/audio_pack_dumper.h"
#include "audiopack/named_exception.h"
#include "kivo/audio_recorder.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/data_directory.h"
#include "kivo/dates.h"
#include "kivo/error.h"
#include "kivo/format.h"
#include "kivo/http.h"
#include "kivo/kivo_matcher.h"
#include "kivo/log.h"
#include "kivo/manager.h"
#include "manager/auth_answer.h"
#include "manager/stored_state.h"
#include "platform/clock.h"

namespace kivo {

namespace {

void logStale(std::string_view step) { logLine(format("[INFO] %@ ignored: its preparation was ended", step)); }

}  // namespace

void KIVOManager::prepareWithType(int32_t type) {
  if (prepareStatus_ != KIVOPrepareStatusIdle) {
    logLine(format("Preparation skipped: currently progressing preparation (%d)", prepareStatus_));
    return;
  }
  configureDebugOutput();
  type_ = type;
  switch (type) {
    case KIVOManagerDetectTypeIAR:
      if (useCustomAudioPacks_)
        prepareAuth();
      else
        prepareLoadAudioPacks();
      break;
    case KIVOManagerDetectTypeCloud: prepareAuth(); break;
    case KIVOManagerDetectTypeLive: prepareCompleted(); break;
    default: break;
  }
}

void KIVOManager::prepareLoadAudioPacks() {
  prepareStatus_ = KIVOPrepareStatusLoadingAudioPacks;
  std::vector<std::filesystem::path> paths;
  std::error_code ec;
  if (const auto barrier = barrierBundlePath()) {
    if (!std::filesystem::is_regular_file(*barrier, ec)) {
      // Idle again, so that the host can name the right file and prepare again.
      prepareStatus_ = KIVOPrepareStatusIdle;
      throw NamedException("BarrierNotFound",
                           "Failed to load barrier bundle because the file(barrierBundlePath) not exists.");
    }
    paths.push_back(*barrier);
  }
  const auto dump = filePathURLForAudioPackName(kDumpFileName);
  if (std::filesystem::exists(dump, ec))
    paths.push_back(dump);
  else
    logLine("INFO: No dumped audiopacks. If this is first run, it is not error");

  loadAudioPackPaths(std::move(paths), [weak = weak_from_this(), gen = generation_, dump](bool loaded) {
    const auto self = weak.lock();
    if (!self) return;
    if (gen != self->generation_) return logStale("local audiopack load");
    if (!loaded) {
      logLine("KIVO will reset internal states because it failed to load the local audiopacks.");
      self->wipeStoredState();
      std::error_code removeError;
      std::filesystem::remove(dump, removeError);
    }
    self->prepareAuth();
  });
}

void KIVOManager::prepareAuth() {
  if (!reachable() && !token()) {
    logLine("KIVO Authentication Failure: network not reachable.");
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeNetworkUnreachable);
    autoPrepareWhenNetworkReachable_ = true;
    if (updateCheck_) return prepareCompleted();
    prepareStatus_ = KIVOPrepareStatusAuthFailed;
    return;
  }
  authHTTP_ = makeClient({});
  prepareStatus_ = KIVOPrepareStatusAuthenticating;
  const std::string version = manager::storedText(settings::kLastVersionKey).value_or(std::string(kInitialVersion));
  currentDownloadingVersion_ = VersionStringFromDate(kivo::now());

  const auto appID = applicationID();
  const auto secret = secretKey();
  if (!appID || !secret) {
    logLine("[ERROR] applicationID and secretKey must be set before authentication");
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeAuthenticationFailed, "missing credentials");
    return authFailed();
  }
  const FormParameters form = {
      {"app_id", *appID}, {"secret_key", *secret}, {"session_id", sessionID()}, {"v", version}};
  authHTTP_->postWithURL(
      format("%@/auth", apiEndpoint()), form,
      [weak = weak_from_this(), gen = generation_](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                                   std::optional<Error> error) {
        if (const auto self = weak.lock())
          self->handleAuthAnswer(gen, std::move(body), response ? response->statusCode : 0, std::move(error));
      });
}

void KIVOManager::handleAuthAnswer(uint64_t gen, std::optional<Bytes> body, long status, std::optional<Error> error) {
  if (gen != generation_ || prepareStatus_ != KIVOPrepareStatusAuthenticating) return logStale("authentication answer");
  if (error || status != 200) {
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeAuthenticationFailed);
    return authFailed();
  }
  const manager::AuthAnswer answer = manager::readAuthAnswer(body.value_or(Bytes{}));
  if (!answer.parsed) {
    logLine(format("JSON Parse Failure: %@", answer.parseError));
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeInvalidAuthenticationAnswer);
    return authFailed();
  }
  // The console answered: the back-off starts over.
  retrySeriesExhausted_ = false;
  retryWait_ = std::chrono::nanoseconds(KIVOManagerRetryWaitingTimeout);

  if (answer.rejectedVersion) logLine(format("[WARN] pack version was rejected: %@", *answer.rejectedVersion));
  if (answer.version) currentDownloadingVersion_ = answer.version;
  if (answer.token) {
    setToken(answer.token);
    manager::storeText(settings::kTokenKey, *answer.token);
  } else {
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeAuthenticationFailed, answer.errorReason);
  }
  downloadableURL_.reset();
  switch (answer.urlState) {
    case manager::AuthAnswer::URL::kAccepted: downloadableURL_ = answer.url; break;
    case manager::AuthAnswer::URL::kNull: logLine("[WARN] downloadable url was responsed with null."); break;
    case manager::AuthAnswer::URL::kRejected:
      logLine(format("[WARN] downloadable url was rejected: %@", answer.url));
      break;
    case manager::AuthAnswer::URL::kNone: break;
  }
  if (debugMode())
    logLine(format("Authentication finished with %@", answer.updated != 0 ? "some updates" : "no more update"));

  if (answer.force) {
    clearIDBWithCompletionHandler([weak = weak_from_this(), gen](bool) {
      dispatch::Queue::main().async([weak, gen] {
        if (const auto self = weak.lock()) self->prepareDownload(gen);
      });
    });
  } else if (type_ == KIVOManagerDetectTypeIAR && !useCustomAudioPacks_) {
    prepareDownload(gen);
  } else {
    prepareCompleted();
  }
}

void KIVOManager::authFailed() {
  // A failed update check is a background refresh: the next trigger tries again.
  if (updateCheck_) return prepareCompleted();
  prepareStatus_ = KIVOPrepareStatusAuthFailed;
  retryPrepareAuth();
}

void KIVOManager::retryPrepareAuth() {
  if (retryCount_ >= KIVOManagerRetryLimitCount) {
    logLine("Retry limit exceeded. Skipping retryPrepareAuth");
    retryCount_ = 0;
    if (!token()) return;
    retrySeriesExhausted_ = true;
  }
  ++retryCount_;
  std::chrono::nanoseconds wait(KIVOManagerRetryWaitingTimeout);
  if (retrySeriesExhausted_) {
    retryWait_ = std::min<std::chrono::nanoseconds>(retryWait_ * 2, kMaximumRetryWait);
    wait = retryWait_;
  }
  if (retryTimer_) retryTimer_->invalidate();
  retryTimer_ = dispatch::Timer::after(dispatch::Queue::main(), wait, [weak = weak_from_this(), gen = generation_] {
    const auto self = weak.lock();
    if (!self || gen != self->generation_) return;
    if (self->prepareStatus_ == KIVOPrepareStatusAuthFailed) self->prepareAuth();
  });
}

void KIVOManager::reachabilityChanged() {
  if (!reachable() || !autoPrepareWhenNetworkReachable_) return;
  autoPrepareWhenNetworkReachable_ = false;
  retrySeriesExhausted_ = false;
  retryWait_ = std::chrono::nanoseconds(KIVOManagerRetryWaitingTimeout);
  if (prepareStatus_ == KIVOPrepareStatusAuthFailed || prepareStatus_ == KIVOPrepareStatusIdle) prepareAuth();
}

void KIVOManager::prepareDownload(uint64_t gen) {
  if (gen != generation_) return logStale("download");
  const auto current = token();
  auto client = makeClient(current ? HTTPHeaders{{"authorization", *current}} : HTTPHeaders{});
  client->requestTimeout = 120.0;
  if (!downloadableURL_) return prepareCompleted();

  const std::string version = currentDownloadingVersion_.value_or(VersionStringFromDate(kivo::now()));
  if (debugMode()) logLine(format("Downloading version: %@", version));
  prepareStatus_ = KIVOPrepareStatusDownloading;
  const auto destination = filePathURLForAudioPackName(version + ".pack");
  std::error_code ec;
  std::filesystem::create_directories(destination.parent_path(), ec);
  if (debugMode()) logLine(format("Start download audiopack from %@", *downloadableURL_));

  client->downloadWithURL(*downloadableURL_, destination,
                          [weak = weak_from_this(), gen](std::optional<std::filesystem::path> location,
                                                         std::optional<HTTPResponse>, std::optional<Error> error) {
                            // Failures arrive on the client's session queue.
                            dispatch::Queue::main().async([weak, gen, location, error] {
                              if (const auto self = weak.lock()) self->downloadFinished(gen, location, error);
                            });
                          });
}

void KIVOManager::downloadFinished(uint64_t gen, const std::optional<std::filesystem::path>& location,
                                   const std::optional<Error>& error) {
  if (debugMode())
    logLine(format("Finish download progress with error %@",
                   error ? std::optional<std::string>(error->description()) : std::nullopt));
  if (gen != generation_) return logStale("download completion");
  if (error) {
    logLine(format("Download Failure: %@", error->description()));
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeAudioPackDownloadFailed, error->description());
    // Keep what is loaded; the next update check downloads again.
    return prepareCompleted();
  }
  if (!location) {
    logLine("Download Failure: downloaded file not exists");
    KIVOError::postErrorNotificationWithErrorCode(KIVOErrorCodeAudioPackDownloadFailed, "Downloaded file not exists");
    return prepareCompleted();
  }
  const auto loaded = matcher();
  loadAudioPackPaths({*location}, [weak = weak_from_this(), gen, loaded, path = *location](bool ok) {
    const auto self = weak.lock();
    if (!self) return;
    if (gen != self->generation_) return logStale("downloaded audiopack load");
    if (!ok) {
      // Not recorded as current: no dump, no version, and the next check fetches it again.
      logLine(format("[ERROR] downloaded audiopack %@ failed to load; it is not kept", path));
      std::error_code removeError;
      std::filesystem::remove(path, removeError);
      return self->prepareCompleted();
    }
    self->prepareDump(gen, loaded);
  });
}

void KIVOManager::prepareDump(uint64_t gen, const std::shared_ptr<KIVOMatcher>& loaded) {
  if (gen != generation_ || matcher() != loaded) return logStale("dump");
  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(filePathURLForAudioPackName(kDumpFileName));
  loaded->forEachAudioPack([&](const KIVOAudioPackAFPData& afp) {
    if (afp.identifier && loaded->isValidIdentifier(*afp.identifier)) dumper->addAFP(afp);
  });
  if (dumper->finishWithMetadata(loaded->metadata())) {
    if (currentDownloadingVersion_) manager::storeText(settings::kLastVersionKey, *currentDownloadingVersion_);
    removeDownloadedPacks();
  }
  currentDownloadingVersion_.reset();
  prepareCompleted();
}

void KIVOManager::prepareCompleted() {
  prepareStatus_ = KIVOPrepareStatusCompleted;
  authHTTP_.reset();
  retryCount_ = 0;
  updateCheck_ = false;
  if (retryTimer_) retryTimer_->invalidate();
  retryTimer_.reset();
}

void KIVOManager::checkUpdateAudioPacks() {
  if (useCustomAudioPacks_) return logLine("Cannot check update because you are using custom audio packs.");
  if (type_ != KIVOManagerDetectTypeIAR)
    return logLine("Skipping check update because you are not using local detection(IAR)");
  if (prepareStatus_ != KIVOPrepareStatusCompleted)
    return logLine("checkUpdateAudioPacks: skip this operation because preparation is not finish");
  if (!reachable()) return logLine("checkUpdateAudioPacks: skip this operation because network not reachable");
  prepareStatus_ = KIVOPrepareStatusLoadingAudioPacks;
  updateCheck_ = true;
  prepareAuth();
}

void KIVOManager::applicationDidBecomeActive() {
  audioRecorder().queueRecorder().applicationDidBecomeActive();
  if (running_) checkUpdateAudioPacks();
}

}  // namespace kivo
