#include "host/control/SystemPasteboard.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "host/control/PasteboardTypes.h"
#include "platform/clipboard/X11Clipboard.h"

namespace brindlet::host {

namespace {

using platform::ClipboardFlavor;
using platform::ClipboardRead;

// Text targets, most precise first.
constexpr const char* utf8Target = "UTF8_STRING";
constexpr const char* mimeUTF8Target = "text/plain;charset=utf-8";
constexpr const char* latin1Target = "STRING";

// The text as ISO 8859-1, nothing when it has a character beyond it.
std::optional<Bytes> latin1Of(std::string_view utf8) {
  Bytes out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      out.push_back(byte);
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      out.push_back(static_cast<std::uint8_t>(((byte & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F)));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string utf8OfLatin1(const Bytes& latin1) {
  std::string out;
  for (std::uint8_t byte : latin1) {
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

Bytes bytesOfText(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace

SystemPasteboard::SystemPasteboard(std::shared_ptr<platform::X11Clipboard> clipboard)
    : clipboard_(std::move(clipboard)) {}

std::int64_t SystemPasteboard::changeCount() const { return clipboard_->changeCount(); }

asio::awaitable<PasteboardText> SystemPasteboard::readText(std::size_t maxBytes) {
  auto clipboard = clipboard_;
  for (const char* target : {utf8Target, mimeUTF8Target, latin1Target}) {
    ClipboardRead read = co_await clipboard->read(target, maxBytes);
    if (read.status == ClipboardRead::Status::tooLarge) co_return PasteboardText{std::nullopt, read.size};
    if (read.status == ClipboardRead::Status::timedOut || read.status == ClipboardRead::Status::failed) break;
    if (read.status != ClipboardRead::Status::ok) continue;
    std::string text =
        target == latin1Target
            ? utf8OfLatin1(read.data)
            : validUTF8(std::string_view(reinterpret_cast<const char*>(read.data.data()), read.data.size()));
    if (text.size() > maxBytes) co_return PasteboardText{std::nullopt, text.size()};
    co_return PasteboardText{std::move(text), std::nullopt};
  }
  co_return PasteboardText{};
}

bool SystemPasteboard::writeText(std::string_view text) {
  std::vector<ClipboardFlavor> flavors{{utf8Target, bytesOfText(text)}, {mimeUTF8Target, bytesOfText(text)}};
  if (auto latin1 = latin1Of(text)) flavors.push_back({latin1Target, std::move(*latin1)});
  return clipboard_->own(std::move(flavors));
}

bool SystemPasteboard::writeFiles(std::vector<PasteboardFile> files) {
  if (files.empty()) return false;
  std::string uriList, gnomeList = "copy", paths;
  std::vector<ClipboardFlavor> pictures;
  std::set<std::string> pictureTypes;
  for (auto& file : files) {
    std::error_code error;
    if (!file.url.is_absolute() || !std::filesystem::exists(file.url, error)) return false;
    const std::string uri = fileURI(file.url);
    uriList += uri + "\r\n";
    gnomeList += "\n" + uri;
    if (!paths.empty()) paths += "\n";
    paths += file.url.string();
    for (auto& [identifier, bytes] : file.representations) {
      const PasteboardType* type = findPasteboardType(identifier);
      if (!type || !pictureTypes.insert(std::string(type->mime)).second) continue;  // the first file's wins
      pictures.push_back({std::string(type->mime), std::move(bytes)});
    }
  }
  std::vector<ClipboardFlavor> flavors{{"text/uri-list", bytesOfText(uriList)},
                                       {"x-special/gnome-copied-files", bytesOfText(gnomeList)}};
  // A PNG first: programs that paste pictures take the first picture type they know.
  std::stable_partition(pictures.begin(), pictures.end(),
                        [](const ClipboardFlavor& f) { return f.target == "image/png"; });
  for (auto& picture : pictures) flavors.push_back(std::move(picture));
  const std::string text = validUTF8(paths);
  flavors.push_back({utf8Target, bytesOfText(text)});
  flavors.push_back({mimeUTF8Target, bytesOfText(text)});
  return clipboard_->own(std::move(flavors));
}

std::string SystemPasteboard::fileURI(const std::filesystem::path& path) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char ch : path.string()) {
    const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '/' ||
                       ch == '-' || ch == '_' || ch == '.' || ch == '~';
    if (plain) {
      out.push_back(static_cast<char>(ch));
    } else {
      out.push_back('%');
      out.push_back(hex[ch >> 4]);
      out.push_back(hex[ch & 0x0F]);
    }
  }
  return out;
}

std::string SystemPasteboard::validUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    std::uint32_t scalar = length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      scalar = (scalar << 6) | (next & 0x3F);
    }
    valid = valid && scalar >= minimum && scalar <= 0x10FFFF && !(scalar >= 0xD800 && scalar <= 0xDFFF);
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

}  // namespace brindlet::host
