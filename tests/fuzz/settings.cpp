// The settings file as the host finds it on disk.
#include <cstddef>
#include <cstdint>

#include "FuzzFolder.h"
#include "platform/storage/UserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto file = brindlet::fuzz::writeInput("settings.json", data, size);
  brindlet::platform::UserDefaults settings(file);
  for (const char* key : {"hostID", "launchAtLogin", "keepDisplayAwakeWhileConnected", ""}) {
    (void)settings.object(key);
    (void)settings.string(key);
    (void)settings.boolean(key);
    (void)settings.number(key);
  }
  settings.set("hostID", "0F8FAD5B-D9CB-469F-A165-70867728950E");
  if (brindlet::platform::UserDefaults(file).string("hostID") != "0F8FAD5B-D9CB-469F-A165-70867728950E")
    __builtin_trap();
  return 0;
}
