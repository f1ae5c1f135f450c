#pragma once

namespace brindlet::platform {
class UserDefaults;
}

namespace brindlet::host {

// The setting "keepDisplayAwakeWhileConnected" of `settings`; true when it is absent or not a
// Boolean.
bool keepDisplayAwakeSetting(const platform::UserDefaults& settings);

}  // namespace brindlet::host
