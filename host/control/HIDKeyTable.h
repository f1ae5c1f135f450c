#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "kit/protocol/InputRecords.h"

namespace brindlet::host {

// The ten usages treated as modifiers: left and right control, shift, option and command,
// Fn and caps lock.
const std::unordered_set<HIDUsage>& hidModifierUsages();

// The 110 keyboard usages that have a virtual key code on the Mac keyboard.
const std::unordered_map<HIDUsage, std::uint16_t>& hidUsageToKeyCode();

bool isModifierUsage(HIDUsage usage);

// The virtual key code of a usage, nothing for usages without a key.
std::optional<std::uint16_t> virtualKeyCode(HIDUsage usage);

}  // namespace brindlet::host
