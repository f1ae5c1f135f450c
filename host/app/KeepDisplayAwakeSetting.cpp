#include "host/app/KeepDisplayAwakeSetting.h"

#include "platform/storage/UserDefaults.h"

namespace brindlet::host {

bool keepDisplayAwakeSetting() {
  return platform::UserDefaults::standard().boolean("keepDisplayAwakeWhileConnected").value_or(true);
}

}  // namespace brindlet::host
