#include "host/app/KeepDisplayAwakeSetting.h"

#include "platform/storage/UserDefaults.h"

namespace brindlet::host {

bool keepDisplayAwakeSetting(const platform::UserDefaults& settings) {
  return settings.boolean("keepDisplayAwakeWhileConnected").value_or(true);
}

}  // namespace brindlet::host
