// The host's configuration record.
#include "kivo/log.h"
#include "kivo/manager.h"

namespace kivo {

std::optional<std::string> KIVOManager::applicationID() const {
  MutexLock lock(configurationMutex_);
  return applicationID_;
}

void KIVOManager::setApplicationID(std::optional<std::string> value) {
  MutexLock lock(configurationMutex_);
  applicationID_ = std::move(value);
}

std::optional<std::string> KIVOManager::secretKey() const {
  MutexLock lock(configurationMutex_);
  return secretKey_;
}

void KIVOManager::setSecretKey(std::optional<std::string> value) {
  MutexLock lock(configurationMutex_);
  secretKey_ = std::move(value);
}

std::string KIVOManager::apiEndpoint() const {
  MutexLock lock(configurationMutex_);
  return apiEndpoint_;
}

void KIVOManager::setApiEndpoint(std::string value) {
  MutexLock lock(configurationMutex_);
  apiEndpoint_ = std::move(value);
}

int32_t KIVOManager::apiVersion() const { return apiVersion_.load(); }

void KIVOManager::setApiVersion(int32_t value) { apiVersion_.store(value); }

// The flag lives in the log layer, which gates every debug line on it.
bool KIVOManager::debugMode() const { return debugLinesEnabled(); }

void KIVOManager::setDebugMode(bool value) { setDebugLinesEnabled(value); }

std::string KIVOManager::apiURLWithSuffix(std::string_view suffix) const {
  std::string url = apiEndpoint();
  url.append(suffix);
  return url;
}

}  // namespace kivo
