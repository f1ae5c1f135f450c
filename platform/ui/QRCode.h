#pragma once

// A QR code as a square of modules, made from a text's UTF-8 bytes at error-correction level M
// (libqrencode). Drawn one square a module, it stays sharp at any scale.
//
//   std::optional<QRCode> code = QRCode::encode("nolu://pair?...");
//   for (int y = 0; y < code->size; ++y) for (int x = 0; x < code->size; ++x) if (code->dark(x, y)) ...

#include <optional>
#include <string_view>
#include <vector>

namespace brindlet::platform {

struct QRCode {
  int size = 0;               // modules a side, without the quiet zone
  std::vector<bool> modules;  // row by row; true is dark

  bool dark(int x, int y) const { return modules[static_cast<std::size_t>(y) * size + x]; }
  bool operator==(const QRCode&) const = default;

  // Nothing when the text cannot be encoded (too long for any version).
  static std::optional<QRCode> encode(std::string_view text);
};

}  // namespace brindlet::platform
