#include "kivo/network_reachability.h"

namespace kivo {

std::shared_ptr<KIVONetworkReachability> KIVONetworkReachability::create() {
  return create(makeRouteReachabilitySource());
}

std::shared_ptr<KIVONetworkReachability> KIVONetworkReachability::create(std::shared_ptr<ReachabilitySource> source) {
  std::shared_ptr<KIVONetworkReachability> instance(new KIVONetworkReachability(std::move(source)));
  instance->prepare();
  return instance;
}

KIVONetworkReachability::KIVONetworkReachability(std::shared_ptr<ReachabilitySource> source)
    : source_(std::move(source)) {}

KIVONetworkReachability::~KIVONetworkReachability() {
  if (source_) source_->stop();
}

void KIVONetworkReachability::prepare() {
  {
    std::lock_guard lock(mutex_);
    if (queue_) return;
    queue_ = dispatch::Queue::serial("com.tarnvale.kivo.reachability");
  }
  if (!source_) {
    checkFlags(kKIVONetworkReachabilityFlagsReachable);
    return;
  }
  std::weak_ptr<KIVONetworkReachability> weak = weak_from_this();
  source_->start([weak, queue = *queue_](uint32_t flags) {
    queue.async([weak, flags] {
      if (auto self = weak.lock()) self->reachabilityChanged(flags);
    });
  });
  checkFlags(source_->currentFlags().value_or(0));
}

bool KIVONetworkReachability::checkFlags(uint32_t flags) {
  uint8_t state = 0;
  if (flags & kKIVONetworkReachabilityFlagsReachable)
    state = kReachable | ((flags & kKIVONetworkReachabilityFlagsIsWWAN) ? kWWAN : kWifi);
  return state_.exchange(state) != state;
}

void KIVONetworkReachability::reachabilityChanged(uint32_t flags) {
  if (!checkFlags(flags)) return;
  if (auto listener = delegate()) listener->reachabilityChanged(*this);
}

bool KIVONetworkReachability::reachable() const { return state_.load() & kReachable; }
bool KIVONetworkReachability::reachableViaWWAN() const { return state_.load() & kWWAN; }
bool KIVONetworkReachability::reachableViaWifi() const { return state_.load() & kWifi; }

std::shared_ptr<KIVONetworkReachabilityDelegate> KIVONetworkReachability::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void KIVONetworkReachability::setDelegate(std::weak_ptr<KIVONetworkReachabilityDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

}  // namespace kivo
