// The host's configuration record: forwarded to the manager's ConsoleConfiguration.
#include "kivo/log.h"
#include "kivo/manager.h"

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

}  // namespace kivo
