#include "platform/ui/QRCode.h"

#include <qrencode.h>

#include <memory>

namespace brindlet::platform {

std::optional<QRCode> QRCode::encode(std::string_view text) {
  auto data = reinterpret_cast<const unsigned char*>(text.data());
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(text.size()), data, 0, QR_ECLEVEL_M), &QRcode_free);
  if (!code) return std::nullopt;
  QRCode result;
  result.size = code->width;
  result.modules.resize(static_cast<std::size_t>(code->width) * code->width);
  for (std::size_t i = 0; i < result.modules.size(); ++i) result.modules[i] = (code->data[i] & 1) != 0;
  return result;
}

}  // namespace brindlet::platform
