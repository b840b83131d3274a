// Activity reports to the console (row 13). KIVOLogItem is one report; KIVOLogStore sends reports
// with the console token as a bearer header, on two paths:
//   immediate  one asynchronous JSON POST whose parsed answer (a JSON object) goes to the
//              completion on the main queue; a failure gives nothing.
//   queued     blocking sends, one at a time, on the store's serial queue "kivo-log-store". A report
//              that cannot be sent waits in a bounded list (oldest dropped first) that is kept in
//              the data directory, so it survives a restart, and is sent again every 30 seconds
//              while the network is reachable. Delivery is at least once: a report whose answer was
//              lost after the console took it is sent again.
// The token, credentials and URL are read from the configuration at each send. A report without a
// media id is never sent. Every operation is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/console_configuration.h"
#include "kivo/dates.h"
#include "kivo/dispatch.h"
#include "kivo/export.h"
#include "kivo/http.h"
#include "kivo/location.h"
#include "kivo/thread_annotations.h"

namespace kivo {

class FileSystem;
class KIVONetworkReachability;

struct KIVO_API KIVOLogItem {
  static constexpr std::string_view kUnknownItemID = "(Unknown Item ID)";

  KIVOLogItem() = default;
  // initializeWithDictionary(media), then created = now rounded up to a whole second.
  explicit KIVOLogItem(const nlohmann::json& media);

  // From a hit's media dictionary: mediaID = "_id" of "result"; itemID = "_id" of the first of its
  // "items" (kUnknownItemID for an empty list; absent, with "WARN: there's no item for logging",
  // without "items"). Ids are strings or integral numbers (kept as decimal text); anything else,
  // and a "result" or "items" of the wrong type, counts as absent.
  void initializeWithDictionary(const nlohmann::json& media);
  // userData = {"name": name}, or nothing without a name.
  void setUserDataWithUserName(const std::optional<std::string>& name);
  // "media_id", "item_id", "created", "loc" ("%1.8lf, %1.8lf": longitude, then latitude) and
  // "userdata" (compact JSON text), each when present.
  FormParameters formParameters() const;
  // "{ KIVOLogItem <key> <formParameters as JSON> }".
  std::string description() const;
  // Whole seconds since 1970, rounded up.
  static int64_t createdFromDate(Date date);

  std::optional<std::string> key;
  std::optional<std::string> mediaID;
  bool mediaIDIsNumber = false;  // the console sent "_id" as a number: it goes back as one
  std::optional<std::string> itemID;
  int64_t created = 0;
  std::optional<nlohmann::json> userData;
  std::optional<Location> location;
};

struct KIVO_API KIVOLogStoreOptions {
  std::shared_ptr<FileSystem> fileSystem;                   // nothing: the disk
  std::optional<std::filesystem::path> directory;          // nothing: dataDirectory()
  std::shared_ptr<KIVONetworkReachability> reachability;   // nothing: the routing table
  std::function<std::string()> sessionID;                  // nothing: the current user's
  size_t maximumPendingItems = 1000;
  std::chrono::nanoseconds retryInterval = std::chrono::seconds(30);
  double requestTimeout = 10.0;   // the client's idle limit, seconds
  double resourceTimeout = 30.0;  // the client's whole-transfer limit, seconds
};

class KIVO_API KIVOLogStore : public std::enable_shared_from_this<KIVOLogStore> {
 public:
  // The file in the directory that holds the waiting reports.
  static constexpr std::string_view kPendingFileName = "KIVOActivityQueue.json";

  // The process-wide store on ConsoleConfiguration::shared(), created on first use.
  static const std::shared_ptr<KIVOLogStore>& sharedStore();
  // A store of its own: loads the waiting reports and starts the retry timer on its queue.
  static std::shared_ptr<KIVOLogStore> create(std::shared_ptr<ConsoleConfiguration> configuration,
                                              KIVOLogStoreOptions options = {});
  ~KIVOLogStore();  // stops the timer; sends still queued are dropped, waiting reports stay on disk
  KIVOLogStore(const KIVOLogStore&) = delete;
  KIVOLogStore& operator=(const KIVOLogStore&) = delete;

  using ActivityCompletion = std::function<void(std::optional<nlohmann::json> answer)>;
  // {"type": "material", "material_id": mediaID}. The completion (main queue) gets the answer
  // object, or nothing on any failure, also without a token or a media id.
  void sendActivityImmediatelyWithLogItem(const KIVOLogItem& item, ActivityCompletion completion);
  // {"app_id", "secret_key", "session", "data": {"material_id"}}, sent on the store's queue, kept
  // and retried when it fails.
  void sendActivityWithLogItem(const KIVOLogItem& item);
  // One blocking send of the queued document: the body of a 2xx answer, nothing otherwise.
  std::optional<Bytes> sendItemToConsole(const KIVOLogItem& item);
  // Queues one retry pass (what the timer does).
  void sendPendingItems();

  // The waiting reports, oldest first, including one being sent.
  std::vector<KIVOLogItem> pendingItems() const;
  // The bearer client for the current token, rebuilt when the token changes; nothing without one.
  std::shared_ptr<KIVOHTTP> http();

  // The configuration's token.
  std::optional<std::string> token() const;
  void setToken(std::optional<std::string> token);
  bool debugMode() const;
  void setDebugMode(bool value);

  const dispatch::Queue& jobQueue() const { return jobQueue_; }
  const std::shared_ptr<ConsoleConfiguration>& configuration() const { return configuration_; }

 private:
  KIVOLogStore(std::shared_ptr<ConsoleConfiguration> configuration, KIVOLogStoreOptions options);
  void runPendingPass();  // on the job queue
  struct State;

  const std::shared_ptr<ConsoleConfiguration> configuration_;
  const dispatch::Queue jobQueue_;
  std::unique_ptr<State> state_;
};

}  // namespace kivo
