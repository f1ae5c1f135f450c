#pragma once

#include <stdexcept>
#include <string>

namespace brindlet::platform {

// A failed GnuTLS call: the name of the step, then " failed (GnuTLS ", the code, its text
// and a closing parenthesis.
class CryptoError : public std::runtime_error {
 public:
  CryptoError(const std::string& step, int code);
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace brindlet::platform
