// KIVONetwork: the host's promotion, bookmark and state client.
#include "kivo/network.h"

#include "network/console_endpoints.h"

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

namespace {

using Text = std::optional<std::string>;

// A required argument: absent and empty are both missing.
bool given(const Text& value) { return value && !value->empty(); }

struct Outcome {
  bool succeeded = false;
  Text text;
  std::optional<Error> error;
};

Outcome judge(const std::optional<Bytes>& body, const std::optional<HTTPResponse>& response,
              const std::optional<Error>& error) {
  Outcome outcome;
  outcome.error = error;
  outcome.succeeded = !error && response && response->statusCode == 200;
  if (outcome.succeeded) outcome.text = console::utf8Text(body);
  return outcome;
}

}  // namespace

// Sends request (or, when it could not be built, nothing) and hands the outcome to report on the
// main queue while this instance and its delegate still exist.
void KIVONetwork::start(const std::optional<console::Request>& request, Report report) {
  std::weak_ptr<KIVONetwork> weak = weak_from_this();
  auto deliver = [weak, report = std::move(report)](const Outcome& outcome) {
    const auto self = weak.lock();
    if (!self || !report) return;
    if (const auto delegate = self->delegate()) report(*self, *delegate, outcome.succeeded, outcome.text, outcome.error);
  };
  if (!request) {
    dispatch::Queue::main().async([deliver] { deliver(Outcome{}); });
    return;
  }
  console::send(*http_, configuration_->apiEndpoint(), *request,
                [deliver](std::optional<Bytes> body, std::optional<HTTPResponse> response, std::optional<Error> error) {
                  deliver(judge(body, response, error));
                });
}

void KIVONetwork::postPromotionWithSession(const Text& session, const Text& promotionID, const Text& mediaID,
                                           const Text& userData, const Text& answer, bool quizCorrect) {
  std::optional<console::Request> request;
  if (given(session) && given(promotionID)) {
    request = console::promotion(*session, *promotionID, mediaID, userData, answer, quizCorrect);
  }
  start(request, [promotionID](KIVONetwork& self, KIVONetworkDelegate& delegate, bool, const Text& text,
                               const std::optional<Error>& error) {
    delegate.networkFinishPromotionID(self, promotionID, text, error);
  });
}

void KIVONetwork::postPromotionWithSession(const Text& session, const Text& promotionID, const Text& mediaID) {
  if (!given(session) || !given(promotionID)) return;
  start(console::promotion(*session, *promotionID, mediaID, std::nullopt, std::nullopt, false), {});
}

void KIVONetwork::getPromotionsWithSession(const Text& session, int32_t size, int32_t offset) {
  start(given(session) ? console::promotions(*session, size, offset) : std::nullopt,
        [](KIVONetwork& self, KIVONetworkDelegate& delegate, bool, const Text& text,
           const std::optional<Error>& error) { delegate.networkPromotions(self, text, error); });
}

void KIVONetwork::postBookmarkWithSession(const Text& session, const Text& promotionID, const Text& userData) {
  std::optional<console::Request> request;
  if (given(session) && given(promotionID)) request = console::bookmark(*session, userData, promotionID);
  start(request, [promotionID](KIVONetwork& self, KIVONetworkDelegate& delegate, bool succeeded, const Text& text,
                               const std::optional<Error>& error) {
    Text bookmarkID;
    if (succeeded && text) {
      if (const auto answer = parseJSONString(*text)) {
        if (const auto* value = console::member(*answer, "bookmark")) bookmarkID = console::identifierValue(*value);
      }
    }
    delegate.networkFinishBookmarkID(self, bookmarkID, promotionID, error);
  });
}

void KIVONetwork::deleteBookmarkWithSession(const Text& session, const Text& bookmarkID, const Text& promotionID) {
  std::optional<console::Request> request;
  if (given(session) && given(bookmarkID) && given(promotionID)) request = console::deleteBookmark(*bookmarkID, *session);
  start(request, [bookmarkID, promotionID](KIVONetwork& self, KIVONetworkDelegate& delegate, bool, const Text&,
                                           const std::optional<Error>& error) {
    delegate.networkFinishDeleteBookmarkID(self, bookmarkID, promotionID, error);
  });
}

void KIVONetwork::getAppliedPromotionWithSession(const Text& session, const Text& promotionItemID) {
  std::optional<console::Request> request;
  if (given(session) && given(promotionItemID)) request = console::appliedPromotion(*promotionItemID, *session);
  start(request, [promotionItemID](KIVONetwork& self, KIVONetworkDelegate& delegate, bool, const Text& text,
                                   const std::optional<Error>& error) {
    delegate.networkFinishGetAppliedPromotionItemID(self, promotionItemID, text, error);
  });
}

void KIVONetwork::deleteStateWithSession(const Text& session) {
  if (!given(session)) return;
  start(console::deleteState(*session), {});
}

std::optional<nlohmann::json> KIVONetwork::parseJSONString(std::string_view text) { return console::parseJSON(text); }

std::shared_ptr<KIVONetworkDelegate> KIVONetwork::delegate() const {
  MutexLock lock(delegateMutex_);
  return delegate_;
}

void KIVONetwork::setDelegate(std::shared_ptr<KIVONetworkDelegate> delegate) {
  MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

}  // namespace kivo
