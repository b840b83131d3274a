#include "network/route_reachability.h"

#include <net/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "kivo/network_reachability.h"

namespace kivo::net {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int openRouteSocket(uint32_t groups) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends a dump request and hands each answer message to visit; false when the dump failed.
template <class Body>
bool dump(uint16_t type, const Body& body, const std::function<void(const nlmsghdr&)>& visit) {
  FileDescriptor socket(openRouteSocket(0));
  if (socket.get() < 0) return false;
  timeval timeout{2, 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  struct {
    nlmsghdr header;
    Body body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body = body;
  if (::send(socket.get(), &request, request.header.nlmsg_len, 0) < 0) return false;
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    auto left = static_cast<unsigned>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) return false;
      visit(*h);
    }
  }
}

}  // namespace

uint32_t reachabilityFlags(const std::vector<DefaultRoute>& routes, const std::vector<LinkState>& links,
                           const std::function<bool(const LinkState&)>& isCellular) {
  const LinkState* best = nullptr;
  uint32_t bestPriority = 0;
  for (const auto& route : routes) {
    auto link = std::find_if(links.begin(), links.end(), [&](const LinkState& l) { return l.index == route.interfaceIndex; });
    if (link == links.end() || (link->flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) continue;
    if (!best || route.priority < bestPriority) {
      best = &*link;
      bestPriority = route.priority;
    }
  }
  if (!best) return 0;
  return kKIVONetworkReachabilityFlagsReachable | (isCellular(*best) ? kKIVONetworkReachabilityFlagsIsWWAN : 0);
}

bool isCellularLink(const LinkState& link) {
  if (link.type == ARPHRD_PPP || link.name.rfind("wwan", 0) == 0) return true;
  if (link.name.empty() || link.name.find('/') != std::string::npos || link.name[0] == '.') return false;
  std::ifstream uevent("/sys/class/net/" + link.name + "/uevent");
  for (std::string line; std::getline(uevent, line);)
    if (line == "DEVTYPE=wwan") return true;
  return false;
}

std::optional<std::vector<DefaultRoute>> readDefaultRoutes() {
  std::vector<DefaultRoute> routes;
  rtmsg query{};
  query.rtm_family = AF_UNSPEC;
  const bool ok = dump(RTM_GETROUTE, query, [&](const nlmsghdr& h) {
    if (h.nlmsg_type != RTM_NEWROUTE) return;
    const auto* r = static_cast<const rtmsg*>(NLMSG_DATA(&h));
    if (r->rtm_dst_len != 0 || r->rtm_type != RTN_UNICAST) return;
    uint32_t table = r->rtm_table, priority = 0;
    std::vector<int> interfaces;
    int length = static_cast<int>(RTM_PAYLOAD(&h));
    for (auto* a = RTM_RTA(r); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
      if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= 4) std::memcpy(&table, RTA_DATA(a), 4);
      if (a->rta_type == RTA_PRIORITY && RTA_PAYLOAD(a) >= 4) std::memcpy(&priority, RTA_DATA(a), 4);
      if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) {
        int index = 0;
        std::memcpy(&index, RTA_DATA(a), 4);
        interfaces.push_back(index);
      }
      if (a->rta_type == RTA_MULTIPATH) {
        int hopsLeft = static_cast<int>(RTA_PAYLOAD(a));
        for (auto* hop = static_cast<const rtnexthop*>(RTA_DATA(a)); RTNH_OK(hop, hopsLeft);
             hopsLeft -= hop->rtnh_len, hop = RTNH_NEXT(hop))
          interfaces.push_back(hop->rtnh_ifindex);
      }
    }
    if (table != RT_TABLE_MAIN) return;
    for (int index : interfaces) routes.push_back({index, priority});
  });
  if (!ok) return std::nullopt;
  return routes;
}

std::optional<std::vector<LinkState>> readLinks() {
  std::vector<LinkState> links;
  ifinfomsg query{};
  query.ifi_family = AF_UNSPEC;
  const bool ok = dump(RTM_GETLINK, query, [&](const nlmsghdr& h) {
    if (h.nlmsg_type != RTM_NEWLINK) return;
    const auto* i = static_cast<const ifinfomsg*>(NLMSG_DATA(&h));
    LinkState link{i->ifi_index, {}, i->ifi_flags, i->ifi_type};
    int length = static_cast<int>(IFLA_PAYLOAD(&h));
    for (auto* a = IFLA_RTA(i); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
      if (a->rta_type == IFLA_IFNAME) link.name.assign(static_cast<const char*>(RTA_DATA(a)), strnlen(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a)));
    }
    links.push_back(std::move(link));
  });
  if (!ok) return std::nullopt;
  return links;
}

namespace {

// Watches link and route events on a netlink socket with a reader thread of its own.
class RouteReachabilitySource final : public ReachabilitySource {
 public:
  RouteReachabilitySource(int socket, int wake) : socket_(socket), wake_(wake) {}
  ~RouteReachabilitySource() override { stop(); }

  std::optional<uint32_t> currentFlags() override {
    auto routes = readDefaultRoutes();
    auto links = readLinks();
    if (!routes || !links) return std::nullopt;
    return reachabilityFlags(*routes, *links, isCellularLink);
  }

  void start(std::function<void(uint32_t)> onChange) override {
    std::lock_guard lock(mutex_);
    if (reader_.joinable() || stopped_) return;
    reader_ = std::thread([this, onChange = std::move(onChange)] { read(onChange); });
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    if (reader_.joinable()) reader_.join();
  }

 private:
  void read(const std::function<void(uint32_t)>& onChange) {
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (!fds[0].revents) continue;
      // Drain the burst (an overrun, ENOBUFS, only means a fresh reading is due as well).
      while (::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
      }
      onChange(currentFlags().value_or(0));
    }
  }

  FileDescriptor socket_;
  FileDescriptor wake_;
  std::mutex mutex_;
  bool stopped_ = false;  // guarded by mutex_
  std::thread reader_;    // guarded by mutex_
};

}  // namespace
}  // namespace kivo::net

namespace kivo {

std::shared_ptr<ReachabilitySource> makeRouteReachabilitySource() {
  const int socket = net::openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
  if (socket < 0) return nullptr;
  const int wake = ::eventfd(0, EFD_CLOEXEC);
  if (wake < 0) {
    ::close(socket);
    return nullptr;
  }
  return std::make_shared<net::RouteReachabilitySource>(socket, wake);
}

}  // namespace kivo
