#pragma once

// What a DNS-SD client we did not write sees: avahi-browse in parsable mode, against the
// test daemon that scripts/test-services runs.

#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kit/support/UUID.h"

namespace brindlet::testing {

// Tests run side by side against one daemon: every test publishes names of its own.
inline std::string uniqueName(const std::string& base) { return base + " " + UUID::random().uuidString().substr(0, 8); }

// The name as avahi-browse prints it in parsable mode: \DDD (decimal) for every
// character other than letters, digits, '-' and '_'.
inline std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

inline std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = line.find(separator, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// The resolved lines ("=;...") avahi-browse prints for our service type.
inline std::vector<std::vector<std::string>> avahiBrowse() {
  std::vector<std::vector<std::string>> lines;
  FILE* pipe = popen("timeout 10 avahi-browse -rpt _nolu._udp 2>/dev/null", "r");
  if (!pipe) return lines;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, pipe)) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.rfind("=;", 0) == 0) lines.push_back(split(line, ';'));
  }
  pclose(pipe);
  return lines;
}

// Asks avahi-browse again until `done` holds for what it prints, for at most 15 s: the
// daemon probes a new name before it announces it, and forgets a withdrawn one a little later.
inline bool browseUntil(const std::function<bool(const std::vector<std::vector<std::string>>&)>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (;;) {
    if (done(avahiBrowse())) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The avahi-browse line for a service name, once it appears.
inline std::optional<std::vector<std::string>> browseLine(const std::string& name) {
  std::optional<std::vector<std::string>> found;
  browseUntil([&](const auto& lines) {
    for (auto& fields : lines) {
      if (fields.size() >= 10 && unescape(fields[3]) == name) found = fields;
    }
    return found.has_value();
  });
  return found;
}

// True once avahi-browse no longer lists the service.
inline bool browseGone(const std::string& name) {
  return browseUntil([&](const auto& lines) {
    for (auto& fields : lines) {
      if (fields.size() >= 4 && unescape(fields[3]) == name) return false;
    }
    return true;
  });
}

}  // namespace brindlet::testing
