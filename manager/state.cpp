// The manager's state: derived properties, shared clients, and the operations that end a chain.
#include <system_error>

#include "kivo/audio_queue_recorder.h"
#include "kivo/capture_source.h"
#include "kivo/data_directory.h"
#include "kivo/debug_log.h"
#include "kivo/format.h"
#include "kivo/http.h"
#include "kivo/kivo_matcher.h"
#include "kivo/log.h"
#include "kivo/log_store.h"
#include "kivo/manager.h"
#include "kivo/user.h"
#include "manager/auth_answer.h"
#include "manager/stored_state.h"

namespace kivo {

const int32_t KIVOManagerRetryLimitCount = 5;
const uint64_t KIVOManagerRetryWaitingTimeout = 5000000000ull;

std::string NSStringFromKIVOManagerDetectType(int32_t type) {
  switch (type) {
    case KIVOManagerDetectTypeUnknown: return "UNKNOWN";
    case KIVOManagerDetectTypeCloud: return "CLOUD";
    case KIVOManagerDetectTypeIAR: return "IAR";
    case KIVOManagerDetectTypeLive: return "LIVE";
    default: return "Unknown Type";
  }
}

std::optional<std::string> KIVOManager::token() const { return configuration_->token(); }

void KIVOManager::setToken(std::optional<std::string> token) { configuration_->setToken(std::move(token)); }

std::shared_ptr<KIVOMatcher> KIVOManager::matcher() const {
  MutexLock lock(matcherMutex_);
  return matcher_;
}

void KIVOManager::replaceMatcher() {
  auto fresh = KIVOMatcher::create();
  MutexLock lock(matcherMutex_);
  matcher_ = std::move(fresh);
}

std::string KIVOManager::sessionID() const { return KIVOUser::currentUser().sessionID(); }

std::filesystem::path KIVOManager::filePathURLForAudioPackName(std::string_view name) const {
  return dataDirectory() / std::filesystem::path(name);
}

std::shared_ptr<KIVOHTTP> KIVOManager::makeClient(HTTPHeaders headers) const {
  auto client = std::make_shared<KIVOHTTP>(std::move(headers));
  client->verboseRequest = debugMode();
  client->verboseResponse = debugMode();
  client->showNetworkActivityIndicator = showNetworkActivityIndicator();
  return client;
}

namespace {

HTTPHeaders credentialHeaders(const KIVOManager& manager) {
  return {{"X-Kivo-Application-Id", manager.applicationID().value_or("")},
          {"X-Kivo-Secret-Key", manager.secretKey().value_or("")}};
}

std::string keyOf(const HTTPHeaders& headers) {
  std::string key;
  for (const auto& [name, value] : headers) key.append(name).append(1, '\0').append(value).append(1, '\0');
  return key;
}

}  // namespace

std::shared_ptr<KIVOHTTP> KIVOManager::http() {
  HTTPHeaders headers;
  if (apiVersion() == 1) {
    headers = credentialHeaders(*this);
  } else {
    const auto current = token();
    if (!current || current->empty()) return nullptr;
    headers = {{"authorization", *current}};
  }
  std::string key = keyOf(headers);
  if (!http_ || key != httpKey_) {
    http_ = makeClient(std::move(headers));
    httpKey_ = std::move(key);
  }
  return http_;
}

std::shared_ptr<KIVOHTTP> KIVOManager::legacyHTTP() {
  HTTPHeaders headers = credentialHeaders(*this);
  std::string key = keyOf(headers);
  if (!legacyHTTP_ || key != legacyHTTPKey_) {
    legacyHTTP_ = makeClient(std::move(headers));
    legacyHTTPKey_ = std::move(key);
  }
  return legacyHTTP_;
}

bool KIVOManager::audioRecordingPermitted() const {
  const auto provider = KIVOAudioQueueRecorder::sharedRecorder().recordPermissionProvider();
  if (!provider) return true;
  // An answer that does not come at once means the user has not decided: not granted.
  auto granted = std::make_shared<std::atomic<bool>>(false);
  provider->requestRecordPermission([granted](bool answer) { granted->store(answer); });
  return granted->load();
}

void KIVOManager::logLocalInformations() const {
  const auto metadata = matcher()->metadata();
  const size_t count = metadata.is_object() ? metadata.size() : 0;
  logLine("# KIVO ###############################");
  logLine(format(" - Token: %@", token()));
  logLine(format(" - Pack Version: %@", manager::storedText(settings::kLastVersionKey)));
  logLine(format(" - Count of Metadatas: %d", count));
  logLine("######################################");
}

bool KIVOManager::reachable() const { return reachability_->reachable(); }

void KIVOManager::configureDebugOutput() {
  if (const auto path = debugLogFilePath()) {
    KIVODebugLogger::sharedLogger().setPath(*path);
    KIVODebugLogger::sharedLogger().setDumpNSLog(debugMode());
  }
  matcher()->setDebugMode(debugMode());
  if (logStore_) logStore_->setDebugMode(debugMode());
}

void KIVOManager::endChain() {
  ++generation_;
  autoPrepareWhenNetworkReachable_ = false;
  updateCheck_ = false;
  if (retryTimer_) retryTimer_->invalidate();
  retryTimer_.reset();
  retryCount_ = 0;
  retrySeriesExhausted_ = false;
  retryWait_ = std::chrono::nanoseconds(KIVOManagerRetryWaitingTimeout);
  authHTTP_.reset();
  downloadableURL_.reset();
  currentDownloadingVersion_.reset();
}

void KIVOManager::removeAllAudioPacks() {
  endChain();
  replaceMatcher();
  prepareStatus_ = KIVOPrepareStatusIdle;
}

void KIVOManager::stop() {
  stopRecognition();
  endChain();
  replaceMatcher();
  prepareStatus_ = KIVOPrepareStatusIdle;
}

void KIVOManager::clearState() {
  if (type_ != KIVOManagerDetectTypeIAR)
    logLine(
        "clearState will not affact because current detection type is not local. But this is not error, just ignore "
        "this ;-)");
  lastIdentifier_.reset();
}

std::shared_ptr<KIVOContinuousHitManager> KIVOManager::makeHitManager() {
  auto hitManager = std::make_shared<KIVOContinuousHitManager>();
  hitManager->setPolicy(KIVOContinuousHitPolicyOnce);
  return hitManager;
}

void KIVOManager::setHitManager(std::shared_ptr<KIVOContinuousHitManager> value) {
  if (!value) {
    logLine("[WARN] KIVOManager keeps its hit manager: the replacement is null");
    return;
  }
  hitManager_ = std::move(value);
}

void KIVOManager::wipeStoredState() {
  manager::removeStored(settings::kUserDefaultKey);
  manager::removeStored(settings::kUserKey);
  manager::removeStored(settings::kTokenKey);
  manager::removeStored(settings::kLastVersionKey);
  setToken(std::nullopt);
}

void KIVOManager::reset() {
  if (running_) {
    logLine("It is not available that reset when KIVO running. Please call stop method before");
    return;
  }
  logLine("Resetting KIVO: All UserDefaults and Files will removed");
  // A chain under way would store a token, a dump and a version after the wipe.
  if (prepareStatus_ >= KIVOPrepareStatusLoadingAudioPacks && prepareStatus_ <= KIVOPrepareStatusDownloading) {
    endChain();
    prepareStatus_ = KIVOPrepareStatusIdle;
  }
  clearState();
  wipeStoredState();
  const auto dump = filePathURLForAudioPackName(kDumpFileName);
  std::error_code ec;
  if (std::filesystem::exists(dump, ec)) {
    std::filesystem::remove(dump, ec);
    if (ec) logLine(format("ERROR: %@", ec.message()));
  }
  hitManager_->reset();
  logLine("Finished to reset KIVO");
}

void KIVOManager::removeDownloadedPacks() const {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dataDirectory(), ec)) {
    const auto name = entry.path().filename().string();
    if (name.size() != 19 || !name.ends_with(".pack") || !manager::isVersionString(name.substr(0, 14))) continue;
    std::error_code removeError;
    std::filesystem::remove(entry.path(), removeError);
    if (removeError) logLine(format("[WARN] could not remove old audiopack %@: %@", name, removeError.message()));
  }
}

}  // namespace kivo
