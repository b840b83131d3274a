// The host's campaign requests, sent through the credential client and answered raw.
#include <utility>

#include "kivo/application_request.h"
#include "kivo/dispatch.h"
#include "kivo/http.h"
#include "kivo/log.h"
#include "kivo/manager.h"
#include "network/console_endpoints.h"

namespace kivo {

namespace {

std::optional<std::string> textMember(const nlohmann::json& object, std::string_view key) {
  const auto* value = console::member(object, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

namespace {

// Sends request (when it could be formed) and reports to complete on the main queue.
void sendPromotionCall(KIVOManager& manager, const std::optional<console::Request>& request,
                       KIVOManager::ResponseHandler complete) {
  if (!request) {
    logLine("[WARN] promotion request not sent: missing id or session, or a session unsafe in a query");
    logLine("failed request apply promotion");
    dispatch::Queue::main().async([complete = std::move(complete)] {
      if (complete) complete(std::nullopt, Error{std::string(KIVOHTTPErrorDomain), KIVOHTTPErrorBadURL, std::nullopt});
    });
    return;
  }
  console::send(*manager.legacyHTTP(), manager.apiEndpoint(), *request,
                [complete = std::move(complete)](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                                 std::optional<Error> error) {
                  if (!response || response->statusCode != 200) logLine("failed request apply promotion");
                  if (complete) complete(std::move(body), std::move(error));
                });
}

}  // namespace

void KIVOManager::applyRequest(const KIVOApplicationRequest& request, ResponseHandler complete) {
  const nlohmann::json params = request.params();
  std::optional<console::Request> built;
  const auto session = textMember(params, "session");
  const auto promotionID = textMember(params, "promo_id");
  if (session && promotionID) {
    built = console::promotion(*session, *promotionID, textMember(params, "media_id"), textMember(params, "userdata"),
                               textMember(params, "answer"), textMember(params, "is_correct") == "1");
  }
  sendPromotionCall(*this, built, std::move(complete));
}

void KIVOManager::bookmarkPromotionWithPromotionID(const std::optional<std::string>& promotionID,
                                                   ResponseHandler complete) {
  sendPromotionCall(*this, console::bookmark(sessionID(), std::nullopt, promotionID), std::move(complete));
}

void KIVOManager::unsetBookmarkWithID(const std::string& bookmarkID, ResponseHandler complete) {
  sendPromotionCall(*this, console::deleteBookmark(bookmarkID, sessionID()), std::move(complete));
}

void KIVOManager::getPromotionWithSize(int32_t size, int32_t offset, ResponseHandler complete) {
  sendPromotionCall(*this, console::promotionsWithPlainSession(sessionID(), size, offset),
                             std::move(complete));
}

void KIVOManager::getStateWithPromotionItemID(const std::string& promotionItemID, ResponseHandler complete) {
  sendPromotionCall(*this, console::appliedPromotion(promotionItemID, sessionID()), std::move(complete));
}

}  // namespace kivo
