#pragma once

// A device that paired with this host, as the paired-device file keeps it (the file's
// records are written and read by PairedDeviceStore).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "kit/support/UUID.h"

namespace brindlet {

using Date = std::chrono::system_clock::time_point;

// A date as ISO 8601 in UTC with whole seconds ("2026-12-10T12:46:43Z"); a fraction of a
// second is dropped.
std::string iso8601String(Date date);
// The date of exactly that form; nothing for any other text (fractions, offsets, no "Z") or
// for a date a Date cannot hold (before 1677-09-21T00:12:44Z or after 2262-04-11T23:47:16Z).
std::optional<Date> parseISO8601(std::string_view text);

struct PairedDevice {
  UUID deviceID;
  std::string name;
  Bytes publicKey;  // X9.63, 65 bytes, as offered at pairing
  Date pairedAt;
  std::optional<Date> lastSeen;

  bool operator==(const PairedDevice&) const = default;
};

}  // namespace brindlet
