#pragma once

// The clipboard of this computer, as the session reads and writes it.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// A received file placed on the clipboard, with extra data flavours beside its location.
struct PasteboardFile {
  std::filesystem::path url;
  std::map<std::string, Bytes> representations;  // by type identifier ("public.png")

  bool operator==(const PasteboardFile&) const = default;

  // The record for a received file of type `typeID`: a picture carries its own bytes under
  // its type, and, when it is neither PNG nor JPEG, a PNG conversion under "public.png" too
  // (when it can be decoded); a picture of a type the clipboard cannot name carries the PNG
  // only; any other file only its location.
  static PasteboardFile make(std::filesystem::path url, std::string_view typeID);
};

// The clipboard's plain text as read: nothing when it holds none; `tooLargeBytes` (at least
// the text's size) when it holds more than was asked for, and then no text.
struct PasteboardText {
  std::optional<std::string> text;
  std::optional<std::uint64_t> tooLargeBytes;
};

class PasteboardProviding {
 public:
  virtual ~PasteboardProviding() = default;

  // Grows by at least one with every change of the clipboard's contents.
  virtual std::int64_t changeCount() const = 0;
  // The clipboard's plain text, at most `maxBytes` of UTF-8. Reading may wait for another
  // program that holds the clipboard; one that does not answer gives no text.
  virtual asio::awaitable<PasteboardText> readText(std::size_t maxBytes) = 0;
  // Replaces the clipboard's contents with plain text; false when it could not be placed.
  virtual bool writeText(std::string_view text) = 0;
  // Replaces the clipboard's contents with files; false when they could not be placed.
  virtual bool writeFiles(std::vector<PasteboardFile> files) = 0;
};

}  // namespace brindlet::host
