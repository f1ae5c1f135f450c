#include "e2e/HostHome.h"

#include <stdlib.h>

#include <chrono>
#include <stdexcept>

#include "host/session/HostSecurity.h"
#include "kit/pairing/PairedDeviceStore.h"
#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/relay/RelaySigner.h"
#include "platform/keychain/Keychain.h"
#include "platform/storage/UserDefaults.h"

namespace brindlet::testing {

Bytes HostFiles::makeHostIdentity() const {
  auto identity =
      loadOrCreateHostIdentity("io.tavix.nolu.host.identity", "Nolu Host", platform::Keychain(keychainFolder()));
  return identity->fingerprint;
}

Bytes HostFiles::hostRelayKey() const {
  auto identity =
      loadOrCreateHostIdentity("io.tavix.nolu.host.identity", "Nolu Host", platform::Keychain(keychainFolder()));
  return makeSecKeyRelaySigner(*identity)->publicKey();
}

void HostFiles::enrolForRemoteAccess(const std::string& coordinatorURL, const std::string& label) const {
  platform::UserDefaults settings(settingsFile());
  settings.set("relay.migratedToInvites", true);
  settings.set("relay.enabled", true);
  settings.set("relay.coordinatorURL", coordinatorURL);
  settings.set("relay.enrolledURL", coordinatorURL);
  settings.set("relay.enrolledLabel", label);
}

UUID HostFiles::makeHostID() const {
  platform::UserDefaults settings(settingsFile());
  return host::loadHostID(settings);
}

void HostFiles::pairDevice(const ClientIdentity& identity, const std::string& name) const {
  PairedDeviceStore store(pairedDevicesFile());
  PairedDevice device{identity.deviceID, name, identity.publicKeyX963(),
                      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()),
                      std::nullopt};
  if (!store.upsertPairedDevice(device)) throw std::runtime_error("paired-devices.json could not be written");
}

HostHome::HostHome(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("brindlet-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
  root_ = pattern;
  dataFolder = root_ / "data";
  configFolder = root_ / "config";
}

HostHome::~HostHome() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

ChildProcess::Environment HostHome::environment() const {
  return {{"HOME", root_.string()},
          {"XDG_CONFIG_HOME", configFolder.string()},
          {"XDG_DATA_HOME", dataFolder.string()},
          {"XDG_CACHE_HOME", (root_ / "cache").string()}};
}

}  // namespace brindlet::testing
