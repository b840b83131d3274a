// The singleton and its construction; each concern of the manager has a file of its own.
#include "kivo/manager.h"

#include "kivo/capture_source.h"
#include "kivo/kivo_matcher.h"
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
    auto* holder = new std::shared_ptr<KIVOManager>(new KIVOManager);  // lives for the process
    (*holder)->init(nullptr, true);
    return holder;
  }();
  return **instance;
}

std::shared_ptr<KIVOManager> KIVOManager::makeIndependent() { return makeIndependent(nullptr); }

std::shared_ptr<KIVOManager> KIVOManager::makeIndependent(std::shared_ptr<ReachabilitySource> source) {
  std::shared_ptr<KIVOManager> manager(new KIVOManager);
  manager->init(std::move(source), false);
  return manager;
}

KIVOManager::KIVOManager() : matcher_(KIVOMatcher::create()) {
  matcher_->setCutoff(-25.0);
  matcher_->setUseCutoffFilter(true);
}

KIVOManager::~KIVOManager() {
  if (retryTimer_) retryTimer_->invalidate();
}

void KIVOManager::init(std::shared_ptr<ReachabilitySource> source, bool useRouteSource) {
  {
    MutexLock lock(configurationMutex_);
    token_ = manager::storedText(settings::kTokenKey);
    permission_ = std::make_shared<GrantingPermissionProvider>();
  }
  reachability_ = useRouteSource ? KIVONetworkReachability::create() : KIVONetworkReachability::create(std::move(source));
  reachabilityDelegate_ = std::make_shared<Reachability>(weak_from_this());
  reachability_->setDelegate(reachabilityDelegate_);
}

}  // namespace kivo
