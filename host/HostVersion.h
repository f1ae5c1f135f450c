#pragma once

namespace brindlet::host {

// The product's name as the user sees it, and the application version.
inline constexpr const char* productName = "Nolu Host";
const char* hostVersion();

}  // namespace brindlet::host
