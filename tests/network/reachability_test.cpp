// KIVONetworkReachability with injected flags, the routing-table rule on snapshots, and the real
// rtnetlink source inside a network namespace the test makes.
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/main_queue_wait.h"
#include "kivo/network_reachability.h"
#include "network/route_reachability.h"

namespace kivo {
namespace {

constexpr uint32_t R = kKIVONetworkReachabilityFlagsReachable;
constexpr uint32_t W = kKIVONetworkReachabilityFlagsIsWWAN;

class FakeSource final : public ReachabilitySource {
 public:
  explicit FakeSource(std::optional<uint32_t> flags) : flags_(flags) {}
  std::optional<uint32_t> currentFlags() override { return flags_; }
  void start(std::function<void(uint32_t)> onChange) override {
    ++starts;
    onChange_ = std::move(onChange);
  }
  void stop() override {}
  void report(uint32_t flags) { onChange_(flags); }
  int starts = 0;

 private:
  std::optional<uint32_t> flags_;
  std::function<void(uint32_t)> onChange_;
};

class Recorder final : public KIVONetworkReachabilityDelegate {
 public:
  void reachabilityChanged(KIVONetworkReachability& r) override {
    std::lock_guard lock(mutex);
    calls.push_back({r.reachable(), r.reachableViaWWAN(), r.reachableViaWifi(), dispatch::Queue::main().isCurrent()});
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return calls.size();
  }
  struct Call {
    bool reachable, wwan, wifi, onMain;
    bool operator==(const Call&) const = default;
  };
  std::mutex mutex;
  std::vector<Call> calls;  // guarded by mutex
};

TEST(NetworkReachability, FlagTable) {
  auto r = KIVONetworkReachability::create(std::make_shared<FakeSource>(0));
  struct Case {
    uint32_t flags;
    bool reachable, wwan, wifi;
  };
  for (const auto& c : {Case{0, false, false, false}, Case{R, true, false, true}, Case{R | W, true, true, false},
                        Case{W, false, false, false}, Case{R | 0xFFFBFFFD, true, false, true}, Case{0xFFFFFFFD, false, false, false}}) {
    r->checkFlags(c.flags);
    EXPECT_EQ(r->reachable(), c.reachable) << c.flags;
    EXPECT_EQ(r->reachableViaWWAN(), c.wwan) << c.flags;
    EXPECT_EQ(r->reachableViaWifi(), c.wifi) << c.flags;
  }
}

TEST(NetworkReachability, OneDelegateCallPerChangeOnItsOwnQueue) {
  auto source = std::make_shared<FakeSource>(R);
  auto r = KIVONetworkReachability::create(source);
  auto recorder = std::make_shared<Recorder>();
  r->setDelegate(recorder);
  EXPECT_TRUE(r->reachableViaWifi());  // the first reading, told to nobody
  r->prepare();
  EXPECT_EQ(source->starts, 1);
  for (uint32_t flags : {R, R | W, R | W, R | W | 8u, 0u, W, R}) source->report(flags);
  ASSERT_TRUE(test::pumpMainUntil([&] { return recorder->count() >= 3; }));
  source->report(0);  // a marker: queued after everything above
  ASSERT_TRUE(test::pumpMainUntil([&] { return recorder->count() >= 4; }));
  using C = Recorder::Call;
  EXPECT_EQ(recorder->calls, (std::vector<C>{{true, true, false, false}, {false, false, false, false},
                                             {true, false, true, false}, {false, false, false, false}}));
  EXPECT_EQ(source->starts, 1);
}

TEST(NetworkReachability, WithoutASourceTheNetworkCountsAsReachable) {
  EXPECT_TRUE(KIVONetworkReachability::create(nullptr)->reachableViaWifi());
  EXPECT_FALSE(KIVONetworkReachability::create(std::make_shared<FakeSource>(std::nullopt))->reachable());
}

// Run under ThreadSanitizer: the flags are read off the queue that writes them.
TEST(NetworkReachability, FlagsReadFromAnyThreadWhileTheyChange) {
  auto source = std::make_shared<FakeSource>(0);
  auto r = KIVONetworkReachability::create(source);
  std::atomic<bool> done{false};
  std::atomic<int> seen{0};
  std::thread reader([&] {
    while (!done) seen += r->reachable() + r->reachableViaWWAN() + r->reachableViaWifi();
  });
  for (int i = 0; i < 2000; ++i) source->report(i % 3 == 0 ? 0 : (i % 3 == 1 ? R : R | W));
  source->report(R);
  EXPECT_TRUE(test::pumpMainUntil([&] { return r->reachableViaWifi(); }));
  done = true;
  reader.join();
}

TEST(RouteReachability, DefaultRouteThroughALinkThatIsUpAndRunning) {
  const unsigned live = IFF_UP | IFF_RUNNING;
  const std::vector<net::LinkState> links = {
      {1, "lo", live | IFF_LOOPBACK, ARPHRD_LOOPBACK}, {2, "eth0", live, ARPHRD_ETHER},
      {3, "eth1", IFF_UP, ARPHRD_ETHER},  // no carrier
      {4, "ppp0", live, ARPHRD_PPP},      {5, "wwan0", live, ARPHRD_NONE}};
  struct Case {
    std::vector<net::DefaultRoute> routes;
    uint32_t flags;
  };
  const Case cases[] = {
      {{}, 0},
      {{{3, 0}}, 0},
      {{{9, 0}}, 0},  // an interface that is gone
      {{{2, 100}}, R},
      {{{4, 0}}, R | W},
      {{{5, 0}}, R | W},
      {{{3, 0}, {2, 600}}, R},
      {{{4, 700}, {2, 100}}, R},  // the better metric wins
      {{{4, 50}, {2, 100}}, R | W},
  };
  for (const auto& c : cases) EXPECT_EQ(net::reachabilityFlags(c.routes, links, net::isCellularLink), c.flags);
}

bool shell(const std::string& command) {
  return std::system(("PATH=$PATH:/usr/sbin:/sbin " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs in a child started by unshare -rn: only lo exists at first.
void followRoutesInsideNamespace() {
  auto source = makeRouteReachabilitySource();
  ASSERT_TRUE(source);
  auto r = KIVONetworkReachability::create(source);
  auto recorder = std::make_shared<Recorder>();
  r->setDelegate(recorder);
  EXPECT_FALSE(r->reachable());
  ASSERT_TRUE(shell("ip link add kv0 type veth peer name kv1 && ip link set kv1 up && ip link set kv0 up && "
                    "ip addr add 10.9.0.1/24 dev kv0 && ip route add default via 10.9.0.2 dev kv0"));
  EXPECT_TRUE(test::pumpMainUntil([&] { return r->reachable() && recorder->count() == 1; })) << recorder->count();
  EXPECT_TRUE(r->reachableViaWifi());
  ASSERT_TRUE(shell("ip route del default"));
  EXPECT_TRUE(test::pumpMainUntil([&] { return !r->reachable() && recorder->count() == 2; }));
  ASSERT_TRUE(shell("ip route add default via 10.9.0.2 dev kv0"));
  EXPECT_TRUE(test::pumpMainUntil([&] { return r->reachable() && recorder->count() == 3; }));
  ASSERT_TRUE(shell("ip link set kv1 down"));  // kv0 loses its carrier
  EXPECT_TRUE(test::pumpMainUntil([&] { return !r->reachable() && recorder->count() == 4; }));
  std::lock_guard lock(recorder->mutex);
  for (const auto& call : recorder->calls) EXPECT_FALSE(call.onMain);
}

TEST(RouteReachability, FollowsTheDefaultRouteInANetworkNamespace) {
  if (std::getenv("KIVO_IN_NETNS")) return followRoutesInsideNamespace();
  if (!shell("unshare -rn true")) GTEST_SKIP() << "cannot create a network namespace here (unshare -rn failed)";
  const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(std::system(("KIVO_IN_NETNS=1 unshare -rn " + self +
                         " --gtest_filter=RouteReachability.FollowsTheDefaultRouteInANetworkNamespace")
                            .c_str()),
            0);
}

}  // namespace
}  // namespace kivo
