// KIVONetwork: the host's promotion, bookmark and state client.
#include "kivo/network.h"

namespace kivo {

void KIVONetworkDelegate::networkPromotions(KIVONetwork&, const std::optional<std::string>&,
                                            const std::optional<Error>&) {}
void KIVONetworkDelegate::networkFinishPromotionID(KIVONetwork&, const std::optional<std::string>&,
                                                   const std::optional<std::string>&, const std::optional<Error>&) {}
void KIVONetworkDelegate::networkFinishBookmarkID(KIVONetwork&, const std::optional<std::string>&,
                                                  const std::optional<std::string>&, const std::optional<Error>&) {}
void KIVONetworkDelegate::networkFinishDeleteBookmarkID(KIVONetwork&, const std::optional<std::string>&,
                                                        const std::optional<std::string>&,
                                                        const std::optional<Error>&) {}
void KIVONetworkDelegate::networkFinishGetAppliedPromotionItemID(KIVONetwork&, const std::optional<std::string>&,
                                                                 const std::optional<std::string>&,
                                                                 const std::optional<Error>&) {}

std::shared_ptr<KIVONetwork> KIVONetwork::create(std::shared_ptr<ConsoleConfiguration> configuration,
                                                 std::string applicationID, std::string secretKey,
                                                 std::string hostName) {
  return std::shared_ptr<KIVONetwork>(
      new KIVONetwork(std::move(configuration), std::move(applicationID), std::move(secretKey), std::move(hostName)));
}

KIVONetwork::KIVONetwork(std::shared_ptr<ConsoleConfiguration> configuration, std::string applicationID,
                         std::string secretKey, std::string hostName)
    : configuration_(std::move(configuration)),
      http_(std::make_shared<KIVOHTTP>(HTTPHeaders{{"X-Kivo-Application-Id", std::move(applicationID)},
                                                   {"X-Kivo-Secret-Key", std::move(secretKey)}})),
      host_(std::move(hostName)) {}

void KIVONetwork::postPromotionWithSession(const std::optional<std::string>&, const std::optional<std::string>&,
                                           const std::optional<std::string>&, const std::optional<std::string>&,
                                           const std::optional<std::string>&, bool) {}
void KIVONetwork::postPromotionWithSession(const std::optional<std::string>&, const std::optional<std::string>&,
                                           const std::optional<std::string>&) {}
void KIVONetwork::getPromotionsWithSession(const std::optional<std::string>&, int32_t, int32_t) {}
void KIVONetwork::postBookmarkWithSession(const std::optional<std::string>&, const std::optional<std::string>&,
                                          const std::optional<std::string>&) {}
void KIVONetwork::deleteBookmarkWithSession(const std::optional<std::string>&, const std::optional<std::string>&,
                                            const std::optional<std::string>&) {}
void KIVONetwork::getAppliedPromotionWithSession(const std::optional<std::string>&,
                                                 const std::optional<std::string>&) {}
void KIVONetwork::deleteStateWithSession(const std::optional<std::string>&) {}

std::optional<nlohmann::json> KIVONetwork::parseJSONString(std::string_view) { return std::nullopt; }

std::shared_ptr<KIVONetworkDelegate> KIVONetwork::delegate() const {
  MutexLock lock(delegateMutex_);
  return delegate_;
}

void KIVONetwork::setDelegate(std::shared_ptr<KIVONetworkDelegate> delegate) {
  MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

}  // namespace kivo
