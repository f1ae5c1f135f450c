// The paired-device file as the host finds it on disk.
#include <cstddef>
#include <cstdint>

#include "FuzzFolder.h"
#include "kit/pairing/PairedDeviceStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto file = brindlet::fuzz::writeInput("paired-devices.json", data, size);
  brindlet::PairedDeviceStore store(file);
  auto devices = store.allPairedDevices();
  // What was read is written and read back whole.
  if (!devices.empty()) {
    if (!store.upsertPairedDevice(devices.front())) return 0;
    if (brindlet::PairedDeviceStore(file).allPairedDevices().size() > devices.size()) __builtin_trap();
  }
  return 0;
}
