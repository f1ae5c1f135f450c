#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace brindlet {

// A decoding failure of the wire protocol, thrown by WireDecoder and WireCodec::decodeBody;
// the writers of WireCodec throw frameTooLarge for a frame they refuse to build.
// It carries its case and that case's payload; description() (and what()) show the case name
// with the payload in parentheses, as in "unknownType(36)", "invalidValue(\"bool 2\")",
// "frameTooLarge(67108865)" or "truncated".
class WireError : public std::exception {
 public:
  enum class Case { unknownType, invalidValue, frameTooLarge, truncated };

  // A payload starts with a type byte that the reader does not know.
  static WireError unknownType(std::uint8_t type);
  // A field holds a value outside its domain; the text names the field and the value.
  static WireError invalidValue(std::string text);
  // A frame header declares more than WireCodec::maxFrameSize bytes (or a writer was asked
  // for such a frame).
  static WireError frameTooLarge(std::int64_t length);
  // A read needs more bytes than the frame holds, or the frame is empty.
  static WireError truncated();

  Case errorCase() const { return case_; }
  // The payload of unknownType (0 for other cases).
  std::uint8_t typeByte() const { return typeByte_; }
  // The payload of invalidValue (empty for other cases).
  const std::string& text() const { return text_; }
  // The payload of frameTooLarge (0 for other cases).
  std::int64_t length() const { return length_; }

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const WireError& other) const {
    return case_ == other.case_ && typeByte_ == other.typeByte_ && text_ == other.text_ && length_ == other.length_;
  }

 private:
  WireError(Case c, std::uint8_t typeByte, std::string text, std::int64_t length);

  Case case_;
  std::uint8_t typeByte_;
  std::string text_;
  std::int64_t length_;
  std::string description_;
};

}  // namespace brindlet
