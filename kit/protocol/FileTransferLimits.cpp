#include "kit/protocol/FileTransferLimits.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace brindlet {

std::optional<std::string> FileTransferLimits::validateOffer(std::span<const FileMeta> files) {
  std::vector<std::uint64_t> sizes;
  sizes.reserve(files.size());
  for (const FileMeta& file : files) sizes.push_back(file.size);
  return validateOffer(std::span<const std::uint64_t>(sizes));
}

std::optional<std::string> FileTransferLimits::validateOffer(std::span<const std::uint64_t> sizes) {
  if (sizes.empty()) return std::string("Nothing to send");
  if (sizes.size() > maxFiles) {
    return "Too many files: " + std::to_string(sizes.size()) + " (limit " + std::to_string(maxFiles) + ")";
  }
  constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 0;
  for (std::uint64_t size : sizes) total = size > saturated - total ? saturated : total + size;
  if (total <= maxTotalBytes) return std::nullopt;
  return "Too large to send: " + formatBytes(total) + " (limit " + formatBytes(maxTotalBytes) + ")";
}

std::string FileTransferLimits::formatBytes(std::uint64_t bytes) {
  char text[64];
  const double n = static_cast<double>(bytes);
  const double m = n / 1048576.0;
  if (m >= 10) {
    std::snprintf(text, sizeof text, "%.0f MB", std::round(m));
  } else if (m >= 1) {
    const double t = std::round(m * 10) / 10;
    if (t != std::floor(t)) {
      std::snprintf(text, sizeof text, "%.1f MB", t);
    } else {
      std::snprintf(text, sizeof text, "%.0f MB", t);
    }
  } else {
    std::snprintf(text, sizeof text, "%.0f KB", std::max(1.0, std::round(n / 1024.0)));
  }
  return text;
}

}  // namespace brindlet
