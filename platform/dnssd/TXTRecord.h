#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindlet::platform {

// The key/value pairs of a DNS-SD TXT record, in the order they were set or received.
// A key appears at most once; setting it again replaces its value.
class TXTRecord {
 public:
  using Entry = std::pair<std::string, std::string>;

  void set(const std::string& key, std::string value);
  std::optional<std::string> value(const std::string& key) const;
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

  friend bool operator==(const TXTRecord&, const TXTRecord&) = default;

 private:
  std::vector<Entry> entries_;
};

}  // namespace brindlet::platform
