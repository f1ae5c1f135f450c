#include "kit/transport/QUICError.h"

namespace brindlet {

const std::string& QUICError::text() const {
  static const std::string pinMismatchText = "This Mac\u2019s identity changed. Re-pair?";
  return case_ == Case::pinMismatch ? pinMismatchText : reason_;
}

}  // namespace brindlet
