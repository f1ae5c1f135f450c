#include <algorithm>
#include <fstream>
#include <iterator>

#include "host/control/PasteboardProviding.h"
#include "host/control/PasteboardTypes.h"
#include "platform/image/ImageCodec.h"

namespace brindlet::host {

namespace {

constexpr PasteboardType knownTypes[] = {
    {"public.png", "image/png", true},           {"public.jpeg", "image/jpeg", true},
    {"com.compuserve.gif", "image/gif", true},   {"public.tiff", "image/tiff", true},
    {"com.microsoft.bmp", "image/bmp", true},    {"com.microsoft.ico", "image/vnd.microsoft.icon", true},
    {"public.heic", "image/heic", true},         {"public.heif", "image/heif", true},
    {"public.avif", "image/avif", true},         {"org.webmproject.webp", "image/webp", true},
    {"public.svg-image", "image/svg+xml", true}, {"com.adobe.pdf", "application/pdf", false},
    {"public.plain-text", "text/plain", false},  {"public.utf8-plain-text", "text/plain;charset=utf-8", false},
    {"public.html", "text/html", false},
};

// Pictures the clipboard has no type of its own for: offered as their PNG conversion only.
constexpr std::string_view picturesWithoutType[] = {"public.image", "com.apple.icns", "public.camera-raw-image",
                                                    "com.adobe.raw-image", "com.adobe.photoshop-image"};

std::optional<Bytes> readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

const PasteboardType* findPasteboardType(std::string_view identifier) {
  for (const auto& type : knownTypes) {
    if (type.identifier == identifier) return &type;
  }
  return nullptr;
}

PasteboardFile PasteboardFile::make(std::filesystem::path url, std::string_view typeID) {
  PasteboardFile file{std::move(url), {}};
  const PasteboardType* type = findPasteboardType(typeID);
  const bool picture = type ? type->isImage
                            : std::find(std::begin(picturesWithoutType), std::end(picturesWithoutType), typeID) !=
                                  std::end(picturesWithoutType);
  if (!picture) return file;
  auto bytes = readWholeFile(file.url);
  if (!bytes) return file;
  if (typeID == pasteboard_type::png || typeID == pasteboard_type::jpeg) {
    file.representations.emplace(std::string(typeID), std::move(*bytes));
    return file;
  }
  auto png = platform::convertToPNG(*bytes);
  if (type) file.representations.emplace(std::string(typeID), std::move(*bytes));
  if (png) file.representations.emplace(std::string(pasteboard_type::png), std::move(*png));
  return file;
}

}  // namespace brindlet::host
