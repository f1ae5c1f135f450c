// The device's list of paired hosts as its secret store holds it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kit/pairing/MemorySecretStore.h"
#include "kit/pairing/PairedHostStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto secrets = std::make_shared<brindlet::MemorySecretStore>();
  secrets->save(brindlet::ByteView(data, size));
  brindlet::PairedHostStore store(secrets);
  auto hosts = store.allPairedHosts();
  if (!hosts.empty()) {
    store.upsertPairedHost(hosts.front());
    if (store.allPairedHosts().empty()) __builtin_trap();  // a host written is read back
  }
  return 0;
}
