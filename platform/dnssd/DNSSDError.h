#pragma once

#include <stdexcept>
#include <string>

namespace brindlet::platform {

// A DNS-SD operation the Avahi daemon or client library refused; the text is Avahi's.
class DNSSDError : public std::runtime_error {
 public:
  explicit DNSSDError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace brindlet::platform
