#pragma once

// Moves the calling thread into a network namespace of its own whose loopback interface is up
// with the given MTU: a route on which the kernel refuses segmented sends whose segments, with
// their headers, exceed the MTU. Only the calling thread moves; the sockets it opens afterwards
// belong to the namespace, which goes away with them and the thread. Needs the right to make
// namespaces (root).
//
//   std::thread([&] {
//     if (auto why = enterLoopbackNamespace(1380); !why.empty()) { skipped = why; return; }
//     ... sockets on 127.0.0.1 ...
//   }).join();

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace brindlet::testing {

// Empty when the thread is in its namespace; otherwise why it is not.
inline std::string enterLoopbackNamespace(int mtu) {
  if (::unshare(CLONE_NEWNET) != 0) return std::string("no network namespace: ") + std::strerror(errno);
  const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (control < 0) return std::string("no control socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_mtu = mtu;
  std::string failure;
  if (::ioctl(control, SIOCSIFMTU, &request) != 0) failure = std::string("loopback MTU: ") + std::strerror(errno);
  if (failure.empty()) {
    if (::ioctl(control, SIOCGIFFLAGS, &request) == 0) {
      request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
      if (::ioctl(control, SIOCSIFFLAGS, &request) == 0) return ::close(control), std::string();
    }
    failure = std::string("loopback up: ") + std::strerror(errno);
  }
  ::close(control);
  return failure;
}

}  // namespace brindlet::testing
