// The host's configuration record: the console part forwarded to the manager's ConsoleConfiguration,
// the detection options kept here.
#include "kivo/kivo_matcher.h"
#include "kivo/log.h"
#include "kivo/manager.h"
#include "platform/clock.h"

namespace kivo {

std::optional<std::string> KIVOManager::applicationID() const { return configuration_->applicationID(); }

void KIVOManager::setApplicationID(std::optional<std::string> value) {
  configuration_->setApplicationID(std::move(value));
}

std::optional<std::string> KIVOManager::secretKey() const { return configuration_->secretKey(); }

void KIVOManager::setSecretKey(std::optional<std::string> value) { configuration_->setSecretKey(std::move(value)); }

std::string KIVOManager::apiEndpoint() const { return configuration_->apiEndpoint(); }

void KIVOManager::setApiEndpoint(std::string value) { configuration_->setApiEndpoint(std::move(value)); }

int32_t KIVOManager::apiVersion() const { return configuration_->apiVersion(); }

void KIVOManager::setApiVersion(int32_t value) { configuration_->setApiVersion(value); }

// The flag lives in the log layer, which gates every debug line on it.
bool KIVOManager::debugMode() const { return debugLinesEnabled(); }

void KIVOManager::setDebugMode(bool value) { setDebugLinesEnabled(value); }

std::string KIVOManager::apiURLWithSuffix(std::string_view suffix) const {
  return configuration_->apiURLWithSuffix(suffix);
}

int32_t KIVOManager::resultType() const { return resultType_; }

void KIVOManager::setResultType(int32_t value) { resultType_ = value; }

bool KIVOManager::detectFreshResultOnly() const { return detectFreshResultOnly_; }

void KIVOManager::setDetectFreshResultOnly(bool value) { detectFreshResultOnly_ = value; }

bool KIVOManager::useLocationService() const { return useLocationService_; }

void KIVOManager::setUseLocationService(bool value) { useLocationService_ = value; }

bool KIVOManager::useLegacy() const { return useLegacy_; }

void KIVOManager::setUseLegacy(bool value) { useLegacy_ = value; }

bool KIVOManager::showNetworkActivityIndicator() const { return showNetworkActivityIndicator_; }

void KIVOManager::setShowNetworkActivityIndicator(bool value) { showNetworkActivityIndicator_ = value; }

std::optional<std::string> KIVOManager::debugLogFilePath() const {
  MutexLock lock(configurationMutex_);
  return debugLogFilePath_;
}

void KIVOManager::setDebugLogFilePath(std::optional<std::string> value) {
  MutexLock lock(configurationMutex_);
  debugLogFilePath_ = std::move(value);
}

std::optional<std::filesystem::path> KIVOManager::barrierBundlePath() const {
  MutexLock lock(configurationMutex_);
  return barrierBundlePath_;
}

void KIVOManager::setBarrierBundlePath(std::optional<std::filesystem::path> value) {
  MutexLock lock(configurationMutex_);
  barrierBundlePath_ = std::move(value);
}

KIVOManager::RecognitionHandler KIVOManager::recognitionHandler() const {
  MutexLock lock(configurationMutex_);
  return recognitionHandler_;
}

void KIVOManager::setRecognitionHandler(RecognitionHandler handler) {
  MutexLock lock(configurationMutex_);
  recognitionHandler_ = std::move(handler);
}

KIVOManager::CloudResponseHandler KIVOManager::cloudResponseHandler() const {
  MutexLock lock(configurationMutex_);
  return cloudResponseHandler_;
}

void KIVOManager::setCloudResponseHandler(CloudResponseHandler handler) {
  MutexLock lock(configurationMutex_);
  cloudResponseHandler_ = std::move(handler);
}

KIVOManager::RawBufferHandler KIVOManager::rawBufferHandler() const {
  MutexLock lock(configurationMutex_);
  return rawBufferHandler_ ? *rawBufferHandler_ : RawBufferHandler{};
}

void KIVOManager::setRawBufferHandler(RawBufferHandler handler) {
  auto shared = handler ? std::make_shared<const RawBufferHandler>(std::move(handler)) : nullptr;
  MutexLock lock(configurationMutex_);
  rawBufferHandler_ = std::move(shared);
}

KIVOManager::MatchIntervalHandler KIVOManager::matchIntervalHandler() const {
  MutexLock lock(configurationMutex_);
  return matchIntervalHandler_;
}

void KIVOManager::setMatchIntervalHandler(MatchIntervalHandler handler) {
  MutexLock lock(configurationMutex_);
  matchIntervalHandler_ = std::move(handler);
}

double KIVOManager::cutoff() const {
  MutexLock lock(configurationMutex_);
  return cutoff_;
}

void KIVOManager::setCutoff(double value) {
  {
    MutexLock lock(configurationMutex_);
    cutoff_ = value;
  }
  matcher()->setCutoff(value);
}

bool KIVOManager::useCutoffFilter() const {
  MutexLock lock(configurationMutex_);
  return useCutoffFilter_;
}

void KIVOManager::setUseCutoffFilter(bool value) {
  {
    MutexLock lock(configurationMutex_);
    useCutoffFilter_ = value;
  }
  matcher()->setUseCutoffFilter(value);
}

std::optional<KIVOManager::Date> KIVOManager::nextUpdateDate() const {
  MutexLock lock(configurationMutex_);
  return nextUpdateDate_;
}

void KIVOManager::setNextUpdateDate(std::optional<Date> date) {
  if (date && kivo::now() - *date > Date::duration::zero()) date.reset();
  MutexLock lock(configurationMutex_);
  nextUpdateDate_ = date;
}

}  // namespace kivo
