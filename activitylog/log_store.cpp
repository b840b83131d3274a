// KIVOLogStore: the immediate and the queued activity paths.
#include "kivo/log_store.h"

#include "kivo/log.h"

namespace kivo {

struct KIVOLogStore::State {
  KIVOLogStoreOptions options;
};

const std::shared_ptr<KIVOLogStore>& KIVOLogStore::sharedStore() {
  static const auto* instance = new std::shared_ptr<KIVOLogStore>(create(ConsoleConfiguration::shared()));
  return *instance;
}

std::shared_ptr<KIVOLogStore> KIVOLogStore::create(std::shared_ptr<ConsoleConfiguration> configuration,
                                                   KIVOLogStoreOptions options) {
  return std::shared_ptr<KIVOLogStore>(new KIVOLogStore(std::move(configuration), std::move(options)));
}

KIVOLogStore::KIVOLogStore(std::shared_ptr<ConsoleConfiguration> configuration, KIVOLogStoreOptions options)
    : configuration_(std::move(configuration)),
      jobQueue_(dispatch::Queue::serial("kivo-log-store")),
      state_(std::make_unique<State>(State{std::move(options)})) {}

KIVOLogStore::~KIVOLogStore() = default;

void KIVOLogStore::sendActivityImmediatelyWithLogItem(const KIVOLogItem&, ActivityCompletion completion) {
  if (completion) dispatch::Queue::main().async([completion] { completion(std::nullopt); });
}
void KIVOLogStore::sendActivityWithLogItem(const KIVOLogItem&) {}
std::optional<Bytes> KIVOLogStore::sendItemToConsole(const KIVOLogItem&) { return std::nullopt; }
void KIVOLogStore::sendPendingItems() {}
std::vector<KIVOLogItem> KIVOLogStore::pendingItems() const { return {}; }
std::shared_ptr<KIVOHTTP> KIVOLogStore::http() { return nullptr; }
std::optional<std::string> KIVOLogStore::token() const { return configuration_->token(); }
void KIVOLogStore::setToken(std::optional<std::string> token) { configuration_->setToken(std::move(token)); }
bool KIVOLogStore::debugMode() const { return debugLinesEnabled(); }
void KIVOLogStore::setDebugMode(bool value) { setDebugLinesEnabled(value); }

}  // namespace kivo
