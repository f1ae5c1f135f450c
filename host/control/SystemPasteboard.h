#pragma once

// This computer's clipboard for the session: the X11 CLIPBOARD selection of the host's own
// clipboard client (one per application, shared by every session, so that what a device put
// there stays after its session ends).

#include <memory>

#include "host/control/PasteboardProviding.h"

namespace brindlet::platform {
class X11Clipboard;
}

namespace brindlet::host {

class SystemPasteboard final : public PasteboardProviding {
 public:
  explicit SystemPasteboard(std::shared_ptr<platform::X11Clipboard> clipboard);

  std::int64_t changeCount() const override;
  asio::awaitable<PasteboardText> readText(std::size_t maxBytes) override;
  bool writeText(std::string_view text) override;
  // Offers the files as a file list (text/uri-list, x-special/gnome-copied-files, their paths
  // as text) and each picture representation under its MIME type. False, and the clipboard
  // unchanged, when a file is not there or the selection could not be taken.
  bool writeFiles(std::vector<PasteboardFile> files) override;

  // "file:///a%20b" for "/a b".
  static std::string fileURI(const std::filesystem::path& path);
  // The text with every byte sequence that is not UTF-8 replaced by U+FFFD.
  static std::string validUTF8(std::string_view text);

 private:
  std::shared_ptr<platform::X11Clipboard> clipboard_;
};

}  // namespace brindlet::host
