// Pairing links as a device reads them from a QR code or a pasted text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kit/pairing/PairingURL.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)brindlet::URLComponents::parse(text);
  if (auto link = brindlet::PairingURL::parse(text)) {
    // A link that reads back must survive its own round trip.
    auto again = brindlet::PairingURL::parse(link->url());
    if (!again || !(*again == *link)) __builtin_trap();
  }
  return 0;
}
