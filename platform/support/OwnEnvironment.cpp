#include "platform/support/OwnEnvironment.h"

#include <cstdlib>
#include <mutex>

namespace brindlet::platform {

namespace {

struct Kept {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::optional<std::string>>> variables;
};

Kept& kept() {
  static Kept instance;
  return instance;
}

}  // namespace

void setOwnVariable(const std::string& name, const std::string& value) {
  Kept& k = kept();
  std::lock_guard lock(k.mutex);
  bool known = false;
  for (const auto& variable : k.variables) known = known || variable.first == name;
  if (!known) {
    const char* before = std::getenv(name.c_str());
    k.variables.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
  }
  ::setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::pair<std::string, std::optional<std::string>>> ownVariables() {
  Kept& k = kept();
  std::lock_guard lock(k.mutex);
  return k.variables;
}

}  // namespace brindlet::platform
