// The singleton and its construction; each concern of the manager has a file of its own.
#include "kivo/manager.h"

#include "kivo/audio_recorder.h"
#include "kivo/kivo_matcher.h"
#include "kivo/log_store.h"
#include "manager/stored_state.h"

namespace kivo {

// Hands the monitor's changes, which arrive on its own queue, to the manager on the main queue.
class KIVOManager::Reachability final : public KIVONetworkReachabilityDelegate {
 public:
  explicit Reachability(std::weak_ptr<KIVOManager> manager) : manager_(std::move(manager)) {}
  void reachabilityChanged(KIVONetworkReachability&) override {
    dispatch::Queue::main().async([manager = manager_] {
      if (const auto strong = manager.lock()) strong->reachabilityChanged();
    });
  }

 private:
  std::weak_ptr<KIVOManager> manager_;
};

KIVOManager& KIVOManager::sharedManager() {
  static auto* instance = [] {
    // Lives for the process.
    auto* holder = new std::shared_ptr<KIVOManager>(new KIVOManager(ConsoleConfiguration::shared()));
    (*holder)->logStore_ = KIVOLogStore::sharedStore();
    (*holder)->init(nullptr, true);
    return holder;
  }();
  return **instance;
}

std::shared_ptr<KIVOManager> KIVOManager::makeIndependent() { return makeIndependent(nullptr); }

std::shared_ptr<KIVOManager> KIVOManager::makeIndependent(std::shared_ptr<ReachabilitySource> source) {
  std::shared_ptr<KIVOManager> manager(new KIVOManager(ConsoleConfiguration::create()));
  manager->init(std::move(source), false);
  return manager;
}

KIVOManager::KIVOManager(std::shared_ptr<ConsoleConfiguration> configuration)
    : configuration_(std::move(configuration)), matcher_(KIVOMatcher::create()) {
  matcher_->setCutoff(-25.0);
  matcher_->setUseCutoffFilter(true);
}

KIVOManager::~KIVOManager() {
  if (retryTimer_) retryTimer_->invalidate();
  if (watchdog_) watchdog_->invalidate();
  // A run the host never stopped: capture ends with its manager.
  if (recorder_ && (running_ || awaitingPermission_)) {
    recorder_->stop();
    recorder_->setBufferHandler({});
    recorder_->setRawBufferHandler({});
  }
}

void KIVOManager::init(std::shared_ptr<ReachabilitySource> source, bool useRouteSource) {
  // The stored token reaches every console client, the activity log store's included.
  configuration_->setToken(manager::storedText(settings::kTokenKey));
  reachability_ =
      useRouteSource ? KIVONetworkReachability::create() : KIVONetworkReachability::create(std::move(source));
  reachabilityDelegate_ = std::make_shared<Reachability>(weak_from_this());
  reachability_->setDelegate(reachabilityDelegate_);
}

}  // namespace kivo
