// DOQueryService: one fingerprint to the console's query endpoint.
#include "kivo/query_service.h"

#include "network/console_endpoints.h"

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

void DOQueryService::sendData(const Bytes& data, const std::optional<std::string>& session, int32_t cutoff,
                              std::any userData, const std::optional<Location>& location) {
  std::weak_ptr<DOQueryService> weak = weak_from_this();
  auto deliver = [weak, userData = std::move(userData)](const std::optional<std::string>& text,
                                                         const std::optional<Error>& error) {
    const auto self = weak.lock();
    if (!self) return;
    if (const auto delegate = self->delegate()) delegate->queryServiceAfpResult(*self, text, error, userData);
  };
  if (!session || session->empty()) {
    dispatch::Queue::main().async([deliver] { deliver(std::nullopt, std::nullopt); });
    return;
  }
  console::send(*http_, configuration_->apiEndpoint(), console::serviceQuery(*session, cutoff, location, data),
                [deliver](std::optional<Bytes> body, std::optional<HTTPResponse>, std::optional<Error> error) {
                  if (error) {
                    deliver(std::nullopt, error);
                  } else {
                    deliver(console::utf8Text(body), std::nullopt);
                  }
                });
}

FormParameters DOQueryService::basicParametersWithSession(const std::string& session) {
  return {{"session", session}};
}

std::string DOQueryService::locationText(const Location& location) { return console::latitudeLongitudeText(location); }

std::optional<nlohmann::json> DOQueryService::parseJSONString(std::string_view text) {
  return console::parseJSON(text);
}

std::shared_ptr<DOQueryServiceDelegate> DOQueryService::delegate() const {
  MutexLock lock(delegateMutex_);
  return delegate_.lock();
}

void DOQueryService::setDelegate(std::weak_ptr<DOQueryServiceDelegate> delegate) {
  MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

}  // namespace kivo
