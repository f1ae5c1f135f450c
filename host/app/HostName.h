#pragma once

#include <string>

namespace brindlet::host {

// This computer's name as its user knows it (the "pretty" host name of /etc/machine-info),
// else its host name; read at each call.
std::string localizedHostName();

}  // namespace brindlet::host
