// DOQueryService: one fingerprint to the console's query endpoint.
#include "kivo/query_service.h"

namespace kivo {

void DOQueryServiceDelegate::queryServiceAfpResult(DOQueryService&, const std::optional<std::string>&,
                                                   const std::optional<Error>&, const std::any&) {}

std::shared_ptr<DOQueryService> DOQueryService::create(std::shared_ptr<ConsoleConfiguration> configuration,
                                                       std::string hostName, std::string apiPath,
                                                       std::string applicationID, std::string secretKey,
                                                       std::weak_ptr<DOQueryServiceDelegate> delegate) {
  return std::shared_ptr<DOQueryService>(new DOQueryService(std::move(configuration), std::move(hostName),
                                                            std::move(apiPath), std::move(applicationID),
                                                            std::move(secretKey), std::move(delegate)));
}

DOQueryService::DOQueryService(std::shared_ptr<ConsoleConfiguration> configuration, std::string hostName,
                               std::string apiPath, std::string applicationID, std::string secretKey,
                               std::weak_ptr<DOQueryServiceDelegate> delegate)
    : configuration_(std::move(configuration)),
      host_(std::move(hostName)),
      apiPath_(std::move(apiPath)),
      http_(std::make_shared<KIVOHTTP>(HTTPHeaders{{"X-Kivo-Application-Id", std::move(applicationID)},
                                                   {"X-Kivo-Secret-Key", std::move(secretKey)}})),
      delegate_(std::move(delegate)) {}

void DOQueryService::sendData(const Bytes&, const std::optional<std::string>&, int32_t, std::any,
                              const std::optional<Location>&) {}

FormParameters DOQueryService::basicParametersWithSession(const std::string& session) {
  return {{"session", session}};
}

std::string DOQueryService::locationText(const Location&) { return {}; }

std::optional<nlohmann::json> DOQueryService::parseJSONString(std::string_view) { return std::nullopt; }

std::shared_ptr<DOQueryServiceDelegate> DOQueryService::delegate() const {
  MutexLock lock(delegateMutex_);
  return delegate_.lock();
}

void DOQueryService::setDelegate(std::weak_ptr<DOQueryServiceDelegate> delegate) {
  MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

}  // namespace kivo
