#include "host/app/HostName.h"

#include <unistd.h>

#include <limits.h>
#include <fstream>

namespace brindlet::host {

namespace {

// PRETTY_HOSTNAME of /etc/machine-info, unquoted; empty when there is none.
std::string prettyHostName() {
  std::ifstream file("/etc/machine-info");
  std::string line;
  const std::string key = "PRETTY_HOSTNAME=";
  while (std::getline(file, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

std::string localizedHostName() {
  if (std::string pretty = prettyHostName(); !pretty.empty()) return pretty;
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace brindlet::host
