#include "platform/dnssd/TXTRecord.h"

namespace brindlet::platform {

void TXTRecord::set(const std::string& key, std::string value) {
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(key, std::move(value));
}

std::optional<std::string> TXTRecord::value(const std::string& key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return entry.second;
  }
  return std::nullopt;
}

}  // namespace brindlet::platform
