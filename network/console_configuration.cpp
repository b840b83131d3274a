// The console configuration record.
#include "kivo/console_configuration.h"

namespace kivo {

const std::shared_ptr<ConsoleConfiguration>& ConsoleConfiguration::shared() {
  static const auto* instance = new std::shared_ptr<ConsoleConfiguration>(create());  // lives for the process
  return *instance;
}

std::shared_ptr<ConsoleConfiguration> ConsoleConfiguration::create() {
  return std::shared_ptr<ConsoleConfiguration>(new ConsoleConfiguration);
}

std::optional<std::string> ConsoleConfiguration::applicationID() const {
  MutexLock lock(mutex_);
  return applicationID_;
}

void ConsoleConfiguration::setApplicationID(std::optional<std::string> value) {
  MutexLock lock(mutex_);
  applicationID_ = std::move(value);
  credentialsVersion_.fetch_add(1);
}

std::optional<std::string> ConsoleConfiguration::secretKey() const {
  MutexLock lock(mutex_);
  return secretKey_;
}

void ConsoleConfiguration::setSecretKey(std::optional<std::string> value) {
  MutexLock lock(mutex_);
  secretKey_ = std::move(value);
  credentialsVersion_.fetch_add(1);
}

std::string ConsoleConfiguration::apiEndpoint() const {
  MutexLock lock(mutex_);
  return apiEndpoint_;
}

void ConsoleConfiguration::setApiEndpoint(std::string value) {
  MutexLock lock(mutex_);
  apiEndpoint_ = std::move(value);
}

int32_t ConsoleConfiguration::apiVersion() const { return apiVersion_.load(); }

void ConsoleConfiguration::setApiVersion(int32_t value) { apiVersion_.store(value); }

std::optional<std::string> ConsoleConfiguration::token() const {
  MutexLock lock(mutex_);
  return token_;
}

void ConsoleConfiguration::setToken(std::optional<std::string> value) {
  MutexLock lock(mutex_);
  if (value && value->empty()) value.reset();
  token_ = std::move(value);
  credentialsVersion_.fetch_add(1);
}

uint64_t ConsoleConfiguration::credentialsVersion() const { return credentialsVersion_.load(); }

std::string ConsoleConfiguration::apiURLWithSuffix(std::string_view suffix) const {
  std::string url = apiEndpoint();
  url.append(suffix);
  return url;
}

}  // namespace kivo
