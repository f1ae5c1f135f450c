#pragma once

#include <filesystem>
#include <string_view>

#include "host/control/PasteboardProviding.h"

namespace brindlet::host {

// The clipboard item for a received file: its location, and for a picture its own bytes under
// the type the device named. A file that is no picture, or cannot be read, is its location only.
PasteboardFile receivedFileItem(const std::filesystem::path& url, std::string_view typeID);

}  // namespace brindlet::host
