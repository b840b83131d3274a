// KIVONetwork: the host's client for the console's promotion, bookmark and state endpoints, with
// the answers delivered to a delegate.
//
// Every request carries the application credentials given at creation; its URL is the
// configuration's apiEndpoint at the moment of the call. Ids go into URLs percent-encoded as path
// segments. A call missing a required argument (absent or empty) sends nothing and makes its
// failure callback at once (on the main queue) with no result and no error.
//
// Callbacks run on the main queue, exactly one per request that has one. A request succeeded when
// there was no transport error and the status is 200; any other status reaches the delegate with
// nothing in both the result and the error argument. A released KIVONetwork makes no callback.
// Requests may be started from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/console_configuration.h"
#include "kivo/error.h"
#include "kivo/export.h"
#include "kivo/http.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class KIVONetwork;
namespace console {
struct Request;
}

// Every callback is optional: the defaults do nothing.
class KIVO_API KIVONetworkDelegate {
 public:
  virtual ~KIVONetworkDelegate() = default;
  virtual void networkPromotions(KIVONetwork& network, const std::optional<std::string>& responseString,
                                 const std::optional<Error>& error);
  virtual void networkFinishPromotionID(KIVONetwork& network, const std::optional<std::string>& promotionID,
                                        const std::optional<std::string>& responseString,
                                        const std::optional<Error>& error);
  virtual void networkFinishBookmarkID(KIVONetwork& network, const std::optional<std::string>& bookmarkID,
                                       const std::optional<std::string>& promotionID,
                                       const std::optional<Error>& error);
  virtual void networkFinishDeleteBookmarkID(KIVONetwork& network, const std::optional<std::string>& bookmarkID,
                                             const std::optional<std::string>& promotionID,
                                             const std::optional<Error>& error);
  virtual void networkFinishGetAppliedPromotionItemID(KIVONetwork& network,
                                                      const std::optional<std::string>& promotionItemID,
                                                      const std::optional<std::string>& responseString,
                                                      const std::optional<Error>& error);
};

class KIVO_API KIVONetwork : public std::enable_shared_from_this<KIVONetwork> {
 public:
  static std::shared_ptr<KIVONetwork> create(std::shared_ptr<ConsoleConfiguration> configuration,
                                             std::string applicationID, std::string secretKey,
                                             std::string hostName);
  KIVONetwork(const KIVONetwork&) = delete;
  KIVONetwork& operator=(const KIVONetwork&) = delete;

  // Row 7: "session", "userdata", "answer", "is_correct" = "1" only when quizCorrect, "promo_id",
  // "media_id"; optional ones only when given.
  void postPromotionWithSession(const std::optional<std::string>& session,
                                const std::optional<std::string>& promotionID,
                                const std::optional<std::string>& mediaID, const std::optional<std::string>& userData,
                                const std::optional<std::string>& answer, bool quizCorrect);
  // Row 7 with session, promotion id and media id only; no callback.
  void postPromotionWithSession(const std::optional<std::string>& session,
                                const std::optional<std::string>& promotionID,
                                const std::optional<std::string>& mediaID);
  // Row 8: the session percent-encoded for a query, size and offset in decimal.
  void getPromotionsWithSession(const std::optional<std::string>& session, int32_t size, int32_t offset);
  // Row 10; the callback carries the answer's "bookmark" (a string, or an integral number as its
  // decimal text), nothing when the answer holds none.
  void postBookmarkWithSession(const std::optional<std::string>& session,
                               const std::optional<std::string>& promotionID,
                               const std::optional<std::string>& userData);
  // Row 11.
  void deleteBookmarkWithSession(const std::optional<std::string>& session,
                                 const std::optional<std::string>& bookmarkID,
                                 const std::optional<std::string>& promotionID);
  // Row 9: the session goes into the query as it is; a session holding "&", "#", "%", "+", a space,
  // a control or non-ASCII character is refused (failure callback, no request).
  void getAppliedPromotionWithSession(const std::optional<std::string>& session,
                                      const std::optional<std::string>& promotionItemID);
  // Row 12; no callback.
  void deleteStateWithSession(const std::optional<std::string>& session);

  // The JSON value of text, or nothing when it does not parse (or nests too deep).
  static std::optional<nlohmann::json> parseJSONString(std::string_view text);

  // Held strongly; read at callback time. Any thread.
  std::shared_ptr<KIVONetworkDelegate> delegate() const;
  void setDelegate(std::shared_ptr<KIVONetworkDelegate> delegate);

  const std::string& host() const { return host_; }
  const std::string& path() const { return path_; }  // "/v1/query"
  bool useTestServer() const { return useTestServer_.load(); }
  void setUseTestServer(bool value) { useTestServer_.store(value); }
  const HTTPHeaders& headers() const { return http_->commonHeaders(); }
  const std::shared_ptr<KIVOHTTP>& http() const { return http_; }
  const std::shared_ptr<ConsoleConfiguration>& configuration() const { return configuration_; }

 private:
  KIVONetwork(std::shared_ptr<ConsoleConfiguration> configuration, std::string applicationID, std::string secretKey,
              std::string hostName);
  using Report = std::function<void(KIVONetwork& self, KIVONetworkDelegate& delegate, bool succeeded,
                                    const std::optional<std::string>& responseString,
                                    const std::optional<Error>& error)>;
  void start(const std::optional<console::Request>& request, Report report);

  const std::shared_ptr<ConsoleConfiguration> configuration_;
  const std::shared_ptr<KIVOHTTP> http_;
  const std::string host_;
  const std::string path_{"/v1/query"};
  std::atomic<bool> useTestServer_{false};
  mutable Mutex delegateMutex_;
  std::shared_ptr<KIVONetworkDelegate> delegate_ KIVO_GUARDED_BY(delegateMutex_);
};

}  // namespace kivo
