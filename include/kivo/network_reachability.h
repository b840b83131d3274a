// KIVONetworkReachability: whether the network is usable, and over which kind of link. It keeps
// three flags up to date from a flag source and tells its delegate when they change.
//
// Threads: the flags are one atomic value, read from any thread. Changes, and with them the
// delegate call, run on the instance's serial queue "com.tarnvale.kivo.reachability", never on the
// main queue: a delegate that touches main-queue state hops there itself. The first reading runs on
// the thread that calls prepare() and makes no delegate call; later readings call the delegate once
// for each change of the flags (repeated readings of the same flags call nothing).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "kivo/dispatch.h"
#include "kivo/export.h"

namespace kivo {

// The two flags the reachability logic reads (the rest of a source's flags are ignored).
inline constexpr uint32_t kKIVONetworkReachabilityFlagsReachable = 1u << 1;
inline constexpr uint32_t kKIVONetworkReachabilityFlagsIsWWAN = 1u << 18;

class KIVONetworkReachability;

class KIVO_API KIVONetworkReachabilityDelegate {
 public:
  virtual ~KIVONetworkReachabilityDelegate() = default;
  virtual void reachabilityChanged(KIVONetworkReachability& reachability) = 0;
};

// Where the flags come from. Implementations are thread-safe.
class KIVO_API ReachabilitySource {
 public:
  virtual ~ReachabilitySource() = default;
  // The flags now; nothing when they cannot be read.
  virtual std::optional<uint32_t> currentFlags() = 0;
  // Starts reporting: onChange(flags) from any one thread after each event, also when the flags
  // did not change. Called at most once.
  virtual void start(std::function<void(uint32_t flags)> onChange) = 0;
  // No onChange call starts after this returns.
  virtual void stop() = 0;
};

// The kernel's routing table through an rtnetlink socket: reachable when a default route leads
// through an interface that is up and has carrier; WWAN when that interface is a cellular modem
// (sysfs DEVTYPE "wwan", a PPP link, or a "wwan" name). Contacts no host. Nothing when no netlink
// socket can be opened.
KIVO_API std::shared_ptr<ReachabilitySource> makeRouteReachabilitySource();

class KIVO_API KIVONetworkReachability : public std::enable_shared_from_this<KIVONetworkReachability> {
 public:
  // Watches the routing table (or, when it cannot be watched, counts the network as reachable over
  // a non-cellular link), then prepare().
  static std::shared_ptr<KIVONetworkReachability> create();
  // Watches source; a null source counts the network as reachable over a non-cellular link.
  static std::shared_ptr<KIVONetworkReachability> create(std::shared_ptr<ReachabilitySource> source);
  ~KIVONetworkReachability();  // stops the source; changes still queued are dropped
  KIVONetworkReachability(const KIVONetworkReachability&) = delete;
  KIVONetworkReachability& operator=(const KIVONetworkReachability&) = delete;

  // Starts monitoring and takes the first reading (a failed read counts as flags 0); does nothing
  // when monitoring already runs.
  void prepare();
  // Recomputes the three flags: reachable = the Reachable bit; via WWAN = reachable and the IsWWAN
  // bit; via Wi-Fi = reachable and not IsWWAN. Returns whether they changed.
  bool checkFlags(uint32_t flags);
  // checkFlags(flags), then, when they changed, the delegate's reachabilityChanged.
  void reachabilityChanged(uint32_t flags);

  bool reachable() const;
  bool reachableViaWWAN() const;
  bool reachableViaWifi() const;

  std::shared_ptr<KIVONetworkReachabilityDelegate> delegate() const;
  // Held weakly. Any thread.
  void setDelegate(std::weak_ptr<KIVONetworkReachabilityDelegate> delegate);

 private:
  explicit KIVONetworkReachability(std::shared_ptr<ReachabilitySource> source);

  enum : uint8_t { kReachable = 1, kWWAN = 2, kWifi = 4 };
  std::atomic<uint8_t> state_{0};  // the three flags, written together

  const std::shared_ptr<ReachabilitySource> source_;
  mutable std::mutex mutex_;
  std::optional<dispatch::Queue> queue_;                       // guarded by mutex_; set by prepare()
  std::weak_ptr<KIVONetworkReachabilityDelegate> delegate_;    // guarded by mutex_
};

}  // namespace kivo
