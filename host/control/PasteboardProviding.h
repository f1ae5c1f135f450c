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

namespace brindlet::host {

// A received file placed on the clipboard, with extra data flavours beside its location.
struct PasteboardFile {
  std::filesystem::path url;
  std::map<std::string, Bytes> representations;

  bool operator==(const PasteboardFile&) const = default;
};

class PasteboardProviding {
 public:
  virtual ~PasteboardProviding() = default;

  // Grows by at least one with every change of the clipboard's contents.
  virtual std::int64_t changeCount() const = 0;
  // The clipboard's plain text, nothing when it holds none.
  virtual std::optional<std::string> readText() const = 0;
  // Replaces the clipboard's contents with plain text.
  virtual void writeText(std::string_view text) = 0;
  // Replaces the clipboard's contents with files; false when they could not be placed.
  virtual bool writeFiles(const std::vector<PasteboardFile>& files) = 0;
};

}  // namespace brindlet::host
