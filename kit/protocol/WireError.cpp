#include "kit/protocol/WireError.h"

#include <utility>

namespace brindlet {

WireError::WireError(Case c, std::uint8_t typeByte, std::string text, std::int64_t length)
    : case_(c), typeByte_(typeByte), text_(std::move(text)), length_(length) {
  switch (case_) {
    case Case::unknownType:
      description_ = "unknownType(" + std::to_string(typeByte_) + ")";
      break;
    case Case::invalidValue:
      description_ = "invalidValue(\"" + text_ + "\")";
      break;
    case Case::frameTooLarge:
      description_ = "frameTooLarge(" + std::to_string(length_) + ")";
      break;
    case Case::truncated:
      description_ = "truncated";
      break;
  }
}

WireError WireError::unknownType(std::uint8_t type) { return WireError(Case::unknownType, type, {}, 0); }
WireError WireError::invalidValue(std::string text) { return WireError(Case::invalidValue, 0, std::move(text), 0); }
WireError WireError::frameTooLarge(std::int64_t length) { return WireError(Case::frameTooLarge, 0, {}, length); }
WireError WireError::truncated() { return WireError(Case::truncated, 0, {}, 0); }

}  // namespace brindlet
