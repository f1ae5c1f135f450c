#pragma once

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dnssd/TXTRecord.h"

namespace brindlet::platform {

// One service instance as the network announces it on one interface.
struct DNSSDServiceInstance {
  std::string name;
  std::string type;
  std::string domain;
  int interfaceIndex = 0;
  bool ipv6 = false;

  friend bool operator==(const DNSSDServiceInstance&, const DNSSDServiceInstance&) = default;
};

// A found service with what resolving it gave: the target host, its address and port, and
// the TXT record. `resolved` is false when resolving failed; the other fields are then empty.
struct DNSSDBrowseResult {
  DNSSDServiceInstance service;
  bool resolved = false;
  std::string hostName;
  std::string address;  // numeric, e.g. "127.0.0.1"
  uint16_t port = 0;
  TXTRecord txt;

  friend bool operator==(const DNSSDBrowseResult&, const DNSSDBrowseResult&) = default;
};

struct DNSSDBrowseChange {
  enum class Kind { added, changed, removed };
  Kind kind = Kind::added;
  DNSSDBrowseResult result;
};

// Browses one service type in the default domain and resolves every instance found. A
// service is reported (added) once its first resolution has answered, changed when its
// address, port or TXT record changes, and removed when it leaves the network. Each event
// comes with the complete list of services at that moment, in the order they were found.
// Events are delivered in order on the executor given; none once cancel() has returned.
class DNSSDBrowser {
 public:
  using Handler = std::function<void(const std::vector<DNSSDBrowseResult>& results, const DNSSDBrowseChange& change)>;

  DNSSDBrowser(const asio::any_io_executor& executor, std::string type, Handler handler);
  ~DNSSDBrowser();
  DNSSDBrowser(const DNSSDBrowser&) = delete;
  DNSSDBrowser& operator=(const DNSSDBrowser&) = delete;

  // Starts browsing; throws DNSSDError when there is no way to reach an Avahi daemon.
  void start();
  void cancel();  // safe more than once

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
