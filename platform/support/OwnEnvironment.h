#pragma once

// Variables this process puts in its own environment for a library that reads its settings
// there (GTK its renderer), which the programs it starts for the user must not inherit.
//
//   setOwnVariable("GSK_RENDERER", "cairo");   // early, before other threads read the environment
//   for (const auto& [name, before] : ownVariables()) ...   // in a child's environment: set
//                                                          // back to `before`, or removed

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindlet::platform {

// Sets `name` in this process's environment and keeps the value it had before the first such
// call (none when it was not set).
void setOwnVariable(const std::string& name, const std::string& value);

// Each variable set so, with the value it had before.
std::vector<std::pair<std::string, std::optional<std::string>>> ownVariables();

}  // namespace brindlet::platform
