#pragma once

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dnssd/TXTRecord.h"

namespace brindlet::platform {

// A service to publish: instance name, type ("_nolu._udp"), domain (empty: the default
// one), port and TXT record.
struct DNSSDService {
  std::string name;
  std::string type;
  std::string domain;
  uint16_t port = 0;
  TXTRecord txt;
};

struct DNSSDRegistrationEvent {
  enum class Kind { registered, failed };
  Kind kind = Kind::registered;
  std::string name;   // the name the service is published under (registered)
  std::string error;  // what went wrong (failed)
};

// Publishes one service through the Avahi daemon until withdrawn. When the name is taken
// (by another host on the network, or another service on this one) the service is published
// again under the next alternative name ("Name #2", "Name #3"...); the `registered` event
// carries the name in use. A daemon that is not running, or that goes away, is reported as
// `failed` too (the registration would publish again if one appeared). Events are
// delivered in order on the executor given; none is delivered once withdraw() has returned.
class DNSSDRegistration {
 public:
  using Handler = std::function<void(const DNSSDRegistrationEvent&)>;

  DNSSDRegistration(const asio::any_io_executor& executor, DNSSDService service, Handler handler);
  ~DNSSDRegistration();
  DNSSDRegistration(const DNSSDRegistration&) = delete;
  DNSSDRegistration& operator=(const DNSSDRegistration&) = delete;

  // Starts publishing; throws DNSSDError when there is no way to reach an Avahi daemon.
  void start();
  // Removes the service from the network; safe to call more than once.
  void withdraw();
  // The name currently published (or being published).
  std::string name() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
