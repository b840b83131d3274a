// KIVOLogStore: the immediate and the queued activity paths.
#include "kivo/log_store.h"

#include <deque>

#include "activitylog/pending_file.h"
#include "kivo/data_directory.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "kivo/network_reachability.h"
#include "kivo/user.h"
#include "network/console_endpoints.h"
#include "platform/file_system.h"

namespace kivo {
namespace {

nlohmann::json mediaIDValue(const KIVOLogItem& item) {
  if (item.mediaIDIsNumber) {
    nlohmann::json number = nlohmann::json::parse(*item.mediaID, nullptr, false);
    if (number.is_number()) return number;
  }
  return *item.mediaID;
}

}  // namespace

struct KIVOLogStore::State {
  struct Pending {
    uint64_t serial;
    KIVOLogItem item;
  };

  KIVOLogStoreOptions options;
  std::filesystem::path directory;
  std::shared_ptr<FileSystem> fileSystem;
  std::shared_ptr<KIVONetworkReachability> reachability;
  std::atomic<bool> debugMode{false};
  std::optional<dispatch::Timer> timer;  // set once at creation

  mutable Mutex lock;
  std::deque<Pending> pending KIVO_GUARDED_BY(lock);
  uint64_t nextSerial KIVO_GUARDED_BY(lock) = 0;

  Mutex httpLock;
  std::shared_ptr<KIVOHTTP> http KIVO_GUARDED_BY(httpLock);
  std::string httpToken KIVO_GUARDED_BY(httpLock);

  void debug(const std::string& line) const {
    if (debugMode.load()) logLine(line);
  }
  bool reachable() const { return !reachability || reachability->reachable(); }
  std::filesystem::path file() const { return directory / std::string(kPendingFileName); }

  // Appends item (dropping the oldest beyond the bound) and returns its serial.
  uint64_t append(const KIVOLogItem& item) {
    MutexLock guard(lock);
    const uint64_t serial = nextSerial++;
    pending.push_back({serial, item});
    while (pending.size() > std::max<size_t>(options.maximumPendingItems, 1)) {
      logLine(format("[WARN] KIVOLogStore: pending list is full, dropped the oldest item %@",
                     pending.front().item.mediaID));
      pending.pop_front();
    }
    return serial;
  }
  // Removes the entry with serial; with requeue, puts it back at the tail. False when it is gone.
  bool take(uint64_t serial, bool requeue) {
    MutexLock guard(lock);
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->serial != serial) continue;
      Pending entry = std::move(*it);
      pending.erase(it);
      if (requeue) pending.push_back(std::move(entry));
      return true;
    }
    return false;
  }
  std::vector<KIVOLogItem> items() const {
    MutexLock guard(lock);
    std::vector<KIVOLogItem> result;
    for (const auto& entry : pending) result.push_back(entry.item);
    return result;
  }
  // Writes the list whole; the file keeps its old content when this fails. On the job queue.
  void save() const {
    const Bytes bytes = activity::encodePending(items());
    if (auto error = fileSystem->makeFolder(directory)) {
      logLine(format("[ERROR] KIVOLogStore: failed to save pending items: %@", *error));
      return;
    }
    auto created = fileSystem->createFile(file());
    if (auto* error = std::get_if<std::string>(&created)) {
      logLine(format("[ERROR] KIVOLogStore: failed to save pending items: %@", *error));
      return;
    }
    if (auto error = std::get<std::unique_ptr<PendingFile>>(created)->commit(bytes)) {
      logLine(format("[ERROR] KIVOLogStore: failed to save pending items: %@", *error));
    }
  }
  void load() {
    fileSystem->removeAbandonedVersions(file());
    const FileContents contents = fileSystem->readFile(file());
    if (contents.status != FileContents::Status::kRead) {
      if (!contents.missing) logLine(format("[ERROR] KIVOLogStore: failed to read pending items: %@", contents.error));
      return;
    }
    const auto items = activity::decodePending(contents.bytes);
    if (!items) {
      logLine("[WARN] KIVOLogStore: discarded a damaged file of pending items");
      return;
    }
    for (const auto& item : *items) append(item);
  }
};

const std::shared_ptr<KIVOLogStore>& KIVOLogStore::sharedStore() {
  static const auto* instance = new std::shared_ptr<KIVOLogStore>(create(ConsoleConfiguration::shared()));
  return *instance;
}

std::shared_ptr<KIVOLogStore> KIVOLogStore::create(std::shared_ptr<ConsoleConfiguration> configuration,
                                                   KIVOLogStoreOptions options) {
  std::shared_ptr<KIVOLogStore> store(new KIVOLogStore(std::move(configuration), std::move(options)));
  std::weak_ptr<KIVOLogStore> weak = store;
  store->state_->timer = dispatch::Timer::repeating(store->jobQueue_, store->state_->options.retryInterval, [weak] {
    if (const auto self = weak.lock()) {
      self->state_->debug("KIVOLogStore: scheduler running");
      self->runPendingPass();
    }
  });
  return store;
}

KIVOLogStore::KIVOLogStore(std::shared_ptr<ConsoleConfiguration> configuration, KIVOLogStoreOptions options)
    : configuration_(std::move(configuration)),
      jobQueue_(dispatch::Queue::serial("kivo-log-store")),
      state_(std::make_unique<State>()) {
  State& state = *state_;
  state.options = std::move(options);
  state.directory = state.options.directory.value_or(dataDirectory());
  state.fileSystem = state.options.fileSystem ? state.options.fileSystem : std::make_shared<DiskFileSystem>();
  state.reachability = state.options.reachability ? state.options.reachability : KIVONetworkReachability::create();
  state.load();
}

KIVOLogStore::~KIVOLogStore() {
  if (state_->timer) state_->timer->invalidate();
}

void KIVOLogStore::sendActivityImmediatelyWithLogItem(const KIVOLogItem& item, ActivityCompletion completion) {
  const auto finish = [completion](std::optional<nlohmann::json> answer) {
    if (completion) dispatch::Queue::main().async([completion, answer = std::move(answer)] { completion(answer); });
  };
  if (!item.mediaID) {
    logLine("[WARN] KIVOLogStore: item without media id is not sent");
    finish(std::nullopt);
    return;
  }
  const auto client = http();
  if (!client) {
    finish(std::nullopt);
    return;
  }
  const bool debug = state_->debugMode.load();
  const std::optional<std::string> mediaID = item.mediaID;
  console::send(*client, configuration_->apiEndpoint(), console::immediateActivity(mediaIDValue(item)),
                [completion, debug, mediaID](std::optional<Bytes> body, std::optional<HTTPResponse> response,
                                             std::optional<Error> error) {
                  const auto done = [&](std::optional<nlohmann::json> answer) {
                    if (completion) completion(std::move(answer));
                  };
                  if (error) {
                    logLine(format("KIVOLogStore: failed to post /api/activity: %@", error->description()));
                    return done(std::nullopt);
                  }
                  const long status = response ? response->statusCode : 0;
                  if (status < 200 || status >= 300) {
                    logLine(format("KIVOLogStore: /api/activity receives invalid status code %ld", status));
                    return done(std::nullopt);
                  }
                  if (!body) {
                    if (debug) logLine(format("KIVOLogStore: /api/activity responses no body for material %@.", mediaID));
                    return done(std::nullopt);
                  }
                  if (body->empty()) {
                    if (debug) {
                      logLine(format("KIVOLogStore: /api/activity responses empty body. Maybe there is no campaign "
                                     "available for this material %@.",
                                     mediaID));
                    }
                    return done(std::nullopt);
                  }
                  const auto answer =
                      console::parseJSON(std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
                  if (!answer) {
                    logLine(format("KIVOLogStore: failed to decode JSON: %@", "the answer is not JSON text"));
                    return done(std::nullopt);
                  }
                  if (!answer->is_object()) {
                    logLine(format("KIVOLogStore: failed to decode JSON: %@", "the answer is not a JSON object"));
                    return done(std::nullopt);
                  }
                  done(answer);
                });
}

void KIVOLogStore::sendActivityWithLogItem(const KIVOLogItem& item) {
  if (!item.mediaID) {
    logLine("[WARN] KIVOLogStore: item without media id is not sent");
    return;
  }
  state_->debug(format("KIVOLogStore: send activity log with item identifier: %@", item.mediaID));
  std::weak_ptr<KIVOLogStore> weak = weak_from_this();
  jobQueue_.async([weak, item] {
    const auto self = weak.lock();
    if (!self) return;
    State& state = *self->state_;
    // Kept on disk before the first try, so a report survives a process that ends mid-send.
    const uint64_t serial = state.append(item);
    state.save();
    if (!state.reachable()) {
      state.debug("KIVOLogStore: new log item was cached due to poor network conditions");
      return;
    }
    if (self->sendItemToConsole(item)) {
      if (state.take(serial, false)) state.save();
      logLine("KIVOLogStore: successfully sent activity log to KIVO console");
    } else {
      state.debug(format("KIVOLogStore: new log item was cached because the request failed: %@", item.description()));
    }
  });
}

std::optional<Bytes> KIVOLogStore::sendItemToConsole(const KIVOLogItem& item) {
  if (!item.mediaID) return std::nullopt;
  const auto client = http();
  if (!client) return std::nullopt;
  const auto applicationID = configuration_->applicationID();
  const auto secretKey = configuration_->secretKey();
  if (!applicationID || !secretKey) {
    logLine("[WARN] KIVOLogStore: no application credentials. skip to send...");
    return std::nullopt;
  }
  const std::string session =
      state_->options.sessionID ? state_->options.sessionID() : KIVOUser::currentUser().sessionID();
  const console::Request request = console::queuedActivity(*applicationID, *secretKey, session, mediaIDValue(item));
  const std::string text = request.document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return client->syncPostWithURLJSONData(configuration_->apiEndpoint() + request.suffix, Bytes(text.begin(), text.end()));
}

void KIVOLogStore::sendPendingItems() {
  std::weak_ptr<KIVOLogStore> weak = weak_from_this();
  jobQueue_.async([weak] {
    if (const auto self = weak.lock()) self->runPendingPass();
  });
}

void KIVOLogStore::runPendingPass() {
  State& state = *state_;
  std::vector<std::pair<uint64_t, KIVOLogItem>> batch;
  {
    MutexLock guard(state.lock);
    for (const auto& entry : state.pending) batch.emplace_back(entry.serial, entry.item);
  }
  if (batch.empty() || !state.reachable()) return;
  logLine(format("KIVOLogStore: try to send pended %lu items", batch.size()));
  for (const auto& [serial, item] : batch) {
    const bool sent = sendItemToConsole(item).has_value();
    if (!state.take(serial, !sent)) continue;  // dropped meanwhile by the bound
    state.save();
    if (sent) {
      state.debug("KIVOLogStore: successfully sent pended activity log to KIVO console");
    } else {
      state.debug(format("KIVOLogStore: item %@ re-pended because failed to send", item.mediaID));
    }
  }
}

std::vector<KIVOLogItem> KIVOLogStore::pendingItems() const { return state_->items(); }

std::shared_ptr<KIVOHTTP> KIVOLogStore::http() {
  const auto token = configuration_->token();
  State& state = *state_;
  MutexLock guard(state.httpLock);
  if (!token) {
    state.http.reset();
    state.debug("No token. skip to send...");
    return nullptr;
  }
  if (!state.http || state.httpToken != *token) {
    auto client = std::make_shared<KIVOHTTP>(HTTPHeaders{{"authorization", "Bearer " + *token}});
    client->verboseRequest = state.debugMode.load();
    client->requestTimeout = state.options.requestTimeout;
    client->resourceTimeout = state.options.resourceTimeout;
    state.http = std::move(client);
    state.httpToken = *token;
  }
  return state.http;
}

std::optional<std::string> KIVOLogStore::token() const { return configuration_->token(); }
void KIVOLogStore::setToken(std::optional<std::string> token) { configuration_->setToken(std::move(token)); }
bool KIVOLogStore::debugMode() const { return state_->debugMode.load(); }
void KIVOLogStore::setDebugMode(bool value) { state_->debugMode.store(value); }

}  // namespace kivo
