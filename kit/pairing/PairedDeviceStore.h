#pragma once

// The devices paired with this host, kept in "paired-devices.json" (owner-only, rewritten
// atomically after every change) and in memory behind one lock.
//
//   auto store = std::make_shared<PairedDeviceStore>(defaultPairedDevicesURL());
//   if (!store->upsertPairedDevice(device)) ...   // false: the file could not be written
//   auto known = store->pairedDevice(deviceID);
//
// A file that exists but cannot be read or decoded is never overwritten: it is renamed
// aside ("paired-devices.json.unreadable-<date>") and logged before the store writes anew.
// While that is not possible, saves fail and the file stays as it is. A file larger than
// `maximumFileBytes`, or with a name longer than `maximumNameBytes`, counts as unreadable;
// the store never writes either (a longer name is cut, a larger list is not saved).

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include "kit/pairing/PairedDevice.h"

namespace brindlet {

// Application Support, then "Nolu", then "paired-devices.json".
std::filesystem::path defaultPairedDevicesURL();

class PairedDeviceStore {
 public:
  // Far above what any real list needs (a record takes about 250 bytes; pairing keeps names
  // to 64 characters), low enough that a load stays quick and small.
  static constexpr std::size_t maximumFileBytes = 1 << 20;
  static constexpr std::size_t maximumNameBytes = 4096;

  // With a file, reads it; without one the store lives in memory and never writes.
  explicit PairedDeviceStore(std::optional<std::filesystem::path> fileURL = std::nullopt);

  const std::optional<std::filesystem::path>& fileURL() const { return fileURL_; }
  // Guards the list and every write of the file; held by callers of the *Locked forms.
  std::mutex& lock() const { return lock_; }

  std::vector<PairedDevice> allPairedDevices() const;
  std::optional<PairedDevice> pairedDevice(const UUID& deviceID) const;

  // Replaces every record of the device with this one, at the end, and saves. False when the
  // file could not be written (or would be too large); the list is then left as it was.
  bool upsertPairedDevice(const PairedDevice& device);
  // Removes every record of the device and saves; false when there was none.
  bool removePairedDevice(const UUID& deviceID);
  // Sets lastSeen of the first record of the device and saves; an unknown device changes
  // nothing. The Locked form expects `lock()` to be held by the caller.
  void updatePairedDeviceDate(const UUID& deviceID, Date date);
  void updatePairedDeviceDateLocked(const UUID& deviceID, Date date);

  // Writes the file with `lock()` held; true when written (or when there is no file).
  bool savePairedDevicesLocked();

 private:
  void load();
  bool setUnreadableFileAside();

  std::optional<std::filesystem::path> fileURL_;
  mutable std::mutex lock_;
  std::vector<PairedDevice> items_;
  bool unreadableFileInPlace_ = false;  // the file on disk holds what we could not read
};

}  // namespace brindlet
