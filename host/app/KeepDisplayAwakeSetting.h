#pragma once

namespace brindlet::host {

// The setting "keepDisplayAwakeWhileConnected"; true when it is absent.
bool keepDisplayAwakeSetting();

}  // namespace brindlet::host
