#pragma once

// A fresh home folder for one run of the host program, and what a test puts into it before
// the host starts, through the host's own stored files: its certificate identity in the
// keychain folder (so the device knows the pin without a pairing link), its host ID in the
// settings, and paired devices in "paired-devices.json".
//
//   HostHome home("e2e");
//   Bytes pin = home.makeHostIdentity();
//   UUID hostID = home.makeHostID();
//   home.pairDevice(identity, "Test iPad");
//   ChildProcess host(BRINDLET_HOST_BINARY, {}, home.environment());

#include <filesystem>
#include <string>

#include "base/Bytes.h"
#include "kit/pairing/ClientIdentity.h"
#include "kit/support/UUID.h"
#include "support/ChildProcess.h"

namespace brindlet::testing {

// The places the host keeps things below its data and configuration folders.
struct HostFiles {
  std::filesystem::path dataFolder;    // XDG_DATA_HOME
  std::filesystem::path configFolder;  // XDG_CONFIG_HOME

  std::filesystem::path keychainFolder() const { return dataFolder / "Nolu" / "Keychain"; }
  std::filesystem::path pairedDevicesFile() const { return dataFolder / "Nolu" / "paired-devices.json"; }
  std::filesystem::path settingsFile() const { return configFolder / "Nolu" / "io.tavix.nolu.host.json"; }

  // The host's certificate identity, loaded as the host loads it (made when there is none);
  // the SHA-256 of its certificate, which devices pin.
  Bytes makeHostIdentity() const;
  // The host ID in the settings, as the host reads it (made when there is none).
  UUID makeHostID() const;
  // The public half of the host's relay key (65 bytes), which a coordinator knows the host by.
  Bytes hostRelayKey() const;
  // Remote access switched on and enrolled with the coordinator at `coordinatorURL` under the
  // account `label`, as joining by invite code leaves the settings.
  void enrolForRemoteAccess(const std::string& coordinatorURL, const std::string& label) const;
  // Records the device as paired, as pairing would have.
  void pairDevice(const ClientIdentity& identity, const std::string& name) const;
};

class HostHome : public HostFiles {
 public:
  // A new, empty folder under the temporary folder; removed with the object.
  explicit HostHome(const std::string& tag);
  ~HostHome();
  HostHome(const HostHome&) = delete;
  HostHome& operator=(const HostHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // HOME and the XDG folders pointing into the home.
  ChildProcess::Environment environment() const;

 private:
  std::filesystem::path root_;
};

}  // namespace brindlet::testing
