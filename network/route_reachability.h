// The routing-table reading behind makeRouteReachabilitySource(), split so that tests can feed it
// snapshots. Thread-safe (no shared state).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kivo::net {

struct DefaultRoute {
  int interfaceIndex = 0;
  uint32_t priority = 0;  // the route metric; lower wins
};

struct LinkState {
  int index = 0;
  std::string name;
  unsigned flags = 0;         // IFF_* bits
  unsigned short type = 0;    // ARPHRD_* link type
};

// Reachable when a default route leads through a link that is up and running (has carrier); IsWWAN
// when the best such route's link is cellular.
uint32_t reachabilityFlags(const std::vector<DefaultRoute>& routes, const std::vector<LinkState>& links,
                           const std::function<bool(const LinkState&)>& isCellular);

// A PPP link, a link named "wwan…", or one whose sysfs DEVTYPE is "wwan".
bool isCellularLink(const LinkState& link);

// The main table's default routes (IPv4 and IPv6) and every link, read over rtnetlink; nothing
// when the kernel cannot be asked.
std::optional<std::vector<DefaultRoute>> readDefaultRoutes();
std::optional<std::vector<LinkState>> readLinks();

}  // namespace kivo::net
