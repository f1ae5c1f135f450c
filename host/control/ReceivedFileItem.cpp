#include "host/control/ReceivedFileItem.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/storage/AtomicFile.h"

namespace brindlet::host {

namespace {

// The type identifiers a device gives for pictures.
constexpr std::array<std::string_view, 16> imageTypes{"public.image",        "public.png",
                                                      "public.jpeg",         "public.heic",
                                                      "public.heif",         "public.tiff",
                                                      "com.compuserve.gif",  "com.microsoft.bmp",
                                                      "com.microsoft.ico",   "org.webmproject.webp",
                                                      "public.avif",         "public.svg-image",
                                                      "com.apple.icns",      "public.camera-raw-image",
                                                      "com.adobe.raw-image", "com.adobe.photoshop-image"};

}  // namespace

PasteboardFile receivedFileItem(const std::filesystem::path& url, std::string_view typeID) {
  PasteboardFile item{url, {}};
  if (std::find(imageTypes.begin(), imageTypes.end(), typeID) == imageTypes.end()) return item;
  Bytes content;
  if (platform::AtomicFile::read(url, content) != 0) return item;
  item.representations.emplace(std::string(typeID), std::move(content));
  return item;
}

}  // namespace brindlet::host
