#pragma once

// The data types the clipboard knows by type identifier ("public.png"), with the MIME type
// other programs on this computer know them by.

#include <string_view>

namespace brindlet::host {

struct PasteboardType {
  std::string_view identifier;
  std::string_view mime;
  bool isImage = false;
};

namespace pasteboard_type {
inline constexpr std::string_view png = "public.png";
inline constexpr std::string_view jpeg = "public.jpeg";
}  // namespace pasteboard_type

// Nothing for an identifier this host does not know.
const PasteboardType* findPasteboardType(std::string_view identifier);

}  // namespace brindlet::host
