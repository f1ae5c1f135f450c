#include "platform/net/NetworkPathMonitor.h"

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>

namespace brindlet::platform {

const char* interfaceTypeName(NetworkInterfaceType type) {
  switch (type) {
    case NetworkInterfaceType::wifi:
      return "wifi";
    case NetworkInterfaceType::wiredEthernet:
      return "wiredEthernet";
    case NetworkInterfaceType::cellular:
      return "cellular";
    case NetworkInterfaceType::loopback:
      return "loopback";
    case NetworkInterfaceType::other:
      return "other";
  }
  return "other";
}

namespace {

std::system_error lastError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Link {
  std::string name;
  unsigned short hardwareType = 0;
  unsigned flags = 0;
  bool hasKind = false;  // a virtual link (veth, bridge, tunnel...) names its kind
};

// The sysfs device type of a link ("wlan", "wwan"), empty when there is none.
std::string deviceType(const std::string& name) {
  std::ifstream uevent("/sys/class/net/" + name + "/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
  }
  return {};
}

NetworkInterfaceType classify(const Link& link) {
  if (link.hardwareType == ARPHRD_LOOPBACK) return NetworkInterfaceType::loopback;
  const std::string devtype = deviceType(link.name);
  if (devtype == "wlan") return NetworkInterfaceType::wifi;
  if (devtype == "wwan") return NetworkInterfaceType::cellular;
  if (link.hasKind) return NetworkInterfaceType::other;
  if (link.hardwareType == ARPHRD_ETHER) return NetworkInterfaceType::wiredEthernet;
  return NetworkInterfaceType::other;
}

// Sends one dump request and hands every answer message to `visit`.
template <class Visit>
void dump(int fd, uint16_t type, unsigned char family, Visit visit) {
  struct {
    nlmsghdr header;
    rtgenmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = type;
  request.body.rtgen_family = family;
  if (::send(fd, &request, sizeof request, 0) < 0) throw lastError("rtnetlink request");
  std::array<char, 32768> buffer;
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw lastError("rtnetlink answer");
    }
    size_t left = static_cast<size_t>(n);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        throw std::system_error(-error->error, std::generic_category(), "rtnetlink dump");
      }
      visit(header);
    }
  }
}

}  // namespace

NetworkPath NetworkPathMonitor::currentPath() {
  FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd.get() < 0) throw lastError("rtnetlink socket");

  std::map<int, Link> links;
  dump(fd.get(), RTM_GETLINK, AF_UNSPEC, [&](nlmsghdr* header) {
    if (header->nlmsg_type != RTM_NEWLINK) return;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    Link link;
    link.hardwareType = info->ifi_type;
    link.flags = info->ifi_flags;
    int length = static_cast<int>(IFLA_PAYLOAD(header));
    for (auto* attr = IFLA_RTA(info); RTA_OK(attr, length); attr = RTA_NEXT(attr, length)) {
      if (attr->rta_type == IFLA_IFNAME) {
        link.name = static_cast<const char*>(RTA_DATA(attr));
      } else if (attr->rta_type == IFLA_LINKINFO) {
        int inner = static_cast<int>(RTA_PAYLOAD(attr));
        for (auto* sub = static_cast<rtattr*>(RTA_DATA(attr)); RTA_OK(sub, inner); sub = RTA_NEXT(sub, inner)) {
          if (sub->rta_type == IFLA_INFO_KIND) link.hasKind = true;
        }
      }
    }
    links[info->ifi_index] = link;
  });

  std::set<int> addressed;
  dump(fd.get(), RTM_GETADDR, AF_UNSPEC, [&](nlmsghdr* header) {
    if (header->nlmsg_type != RTM_NEWADDR) return;
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
    if (info->ifa_family == AF_INET || (info->ifa_family == AF_INET6 && info->ifa_scope == RT_SCOPE_UNIVERSE &&
                                        !(info->ifa_flags & IFA_F_TENTATIVE))) {
      addressed.insert(static_cast<int>(info->ifa_index));
    }
  });

  NetworkPath path;
  for (const auto& [index, link] : links) {
    const bool usable = (link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && addressed.count(index);
    if (!usable) continue;
    const NetworkInterfaceType type = classify(link);
    if (type == NetworkInterfaceType::loopback) continue;
    path.availableInterfaces.push_back({link.name, type, index});
  }
  std::sort(path.availableInterfaces.begin(), path.availableInterfaces.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  path.satisfied = !path.availableInterfaces.empty();
  return path;
}

struct NetworkPathMonitor::State : std::enable_shared_from_this<State> {
  State(const asio::any_io_executor& executor, Handler handler)
      : strand(asio::make_strand(executor)), socket(strand), handler(std::move(handler)) {}

  void receive() {
    socket.async_receive(asio::buffer(buffer), [self = shared_from_this()](std::error_code error, size_t) {
      if (!self->open.load() || error == asio::error::operation_aborted) return;
      // Any message (or a lost one: ENOBUFS) means: read the whole path again.
      self->update();
      if (self->open.load()) self->receive();
    });
  }

  void update() {
    NetworkPath path;
    try {
      path = currentPath();
    } catch (const std::system_error&) {
      return;  // keep the last path; the next event reads again
    }
    if (last && *last == path) return;
    last = path;
    if (open.load() && handler) handler(path);
  }

  asio::strand<asio::any_io_executor> strand;
  asio::generic::raw_protocol::socket socket;
  Handler handler;
  std::array<char, 16384> buffer{};
  std::optional<NetworkPath> last;
  std::atomic<bool> open{true};
};

NetworkPathMonitor::NetworkPathMonitor(const asio::any_io_executor& executor, Handler handler)
    : state_(std::make_shared<State>(executor, std::move(handler))) {}

NetworkPathMonitor::~NetworkPathMonitor() { cancel(); }

void NetworkPathMonitor::start() {
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  asio::generic::raw_protocol protocol(AF_NETLINK, NETLINK_ROUTE);
  state_->socket.open(protocol);
  state_->socket.bind(asio::generic::raw_protocol::endpoint(&address, sizeof address, NETLINK_ROUTE));
  // Subscribe first, then read: a change between the two is not lost.
  asio::post(state_->strand, [self = state_] {
    if (!self->open.load()) return;
    self->update();
    self->receive();
  });
}

void NetworkPathMonitor::cancel() {
  if (!state_->open.exchange(false)) return;
  asio::post(state_->strand, [self = state_] {
    std::error_code ignored;
    self->socket.close(ignored);
  });
}

}  // namespace brindlet::platform
