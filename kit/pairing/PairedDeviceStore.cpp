#include "kit/pairing/PairedDeviceStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "kit/pairing/PairingLog.h"
#include "platform/crypto/Base64.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"

namespace brindlet {
namespace {

std::optional<std::string> stringMember(const nlohmann::json& record, const char* key) {
  auto found = record.find(key);
  if (found == record.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

// One record of the file: "deviceID" (upper-case UUID), "lastSeen" (left out when absent),
// "name", "pairedAt", "publicKey" (padded standard Base64).
nlohmann::json recordOf(const PairedDevice& device) {
  nlohmann::json record = nlohmann::json::object();
  record["deviceID"] = device.deviceID.uuidString();
  if (device.lastSeen) record["lastSeen"] = iso8601String(*device.lastSeen);
  record["name"] = device.name;
  record["pairedAt"] = iso8601String(device.pairedAt);
  record["publicKey"] = platform::base64Encode(device.publicKey);
  return record;
}

// Nothing when a member is missing or malformed, with `why` set when there is more to say;
// members it does not know are ignored.
std::optional<PairedDevice> deviceOf(const nlohmann::json& record, std::string& why) {
  if (!record.is_object()) return std::nullopt;
  auto idText = stringMember(record, "deviceID");
  auto name = stringMember(record, "name");
  auto pairedAtText = stringMember(record, "pairedAt");
  auto keyText = stringMember(record, "publicKey");
  if (!idText || !name || !pairedAtText || !keyText) return std::nullopt;
  if (name->size() > PairedDeviceStore::maximumNameBytes) {
    why = "a name is longer than " + std::to_string(PairedDeviceStore::maximumNameBytes) + " bytes";
    return std::nullopt;
  }
  auto deviceID = UUID::parse(*idText);
  auto pairedAt = parseISO8601(*pairedAtText);
  auto publicKey = platform::base64Decode(*keyText);
  if (!deviceID || !pairedAt || !publicKey) return std::nullopt;
  PairedDevice device{*deviceID, std::move(*name), std::move(*publicKey), *pairedAt, std::nullopt};
  if (auto found = record.find("lastSeen"); found != record.end() && !found->is_null()) {
    if (!found->is_string()) return std::nullopt;
    device.lastSeen = parseISO8601(found->get<std::string>());
    if (!device.lastSeen) return std::nullopt;
  }
  return device;
}

}  // namespace

std::filesystem::path defaultPairedDevicesURL() {
  return platform::StorageDirectories::applicationSupportDirectory() / "Nolu" / "paired-devices.json";
}

PairedDeviceStore::PairedDeviceStore(std::optional<std::filesystem::path> fileURL) : fileURL_(std::move(fileURL)) {
  if (fileURL_) load();
}

void PairedDeviceStore::load() {
  Bytes content;
  int rc = platform::AtomicFile::read(*fileURL_, content, maximumFileBytes);
  if (rc == ENOENT || rc == ENOTDIR) return;  // nothing there yet
  std::vector<PairedDevice> loaded;
  bool readable = rc == 0;
  std::string why;
  if (readable) {
    auto document = nlohmann::json::parse(content.begin(), content.end(), nullptr, false);
    readable = document.is_array();
    for (std::size_t i = 0; readable && i < document.size(); ++i) {
      auto device = deviceOf(document[i], why);
      if (device)
        loaded.push_back(std::move(*device));
      else
        readable = false;
    }
  }
  if (readable) {
    items_ = std::move(loaded);
    return;
  }
  // The list starts empty, but the pairings in the file must not be lost to the next save.
  if (rc == EFBIG)
    pairingLog().error("paired devices could not be read: the file is larger than %zu bytes", maximumFileBytes);
  else if (rc != 0)
    pairingLog().error("paired devices could not be read: %s", std::strerror(rc));
  else if (!why.empty())
    pairingLog().error("paired devices could not be decoded: %s", why.c_str());
  else
    pairingLog().error("paired devices could not be decoded");
  unreadableFileInPlace_ = true;
  setUnreadableFileAside();
}

bool PairedDeviceStore::setUnreadableFileAside() {
  if (!unreadableFileInPlace_) return true;
  std::filesystem::path aside;
  int rc = platform::AtomicFile::keepAside(*fileURL_, std::chrono::system_clock::now(), aside);
  if (rc == 0) pairingLog().error("unreadable paired-device file kept as %s", aside.c_str());
  if (rc == 0 || rc == ENOENT) {  // kept, or gone meanwhile: nothing left to keep
    unreadableFileInPlace_ = false;
    return true;
  }
  pairingLog().error("unreadable paired-device file could not be kept aside: %s", std::strerror(rc));
  return false;
}

std::vector<PairedDevice> PairedDeviceStore::allPairedDevices() const {
  std::lock_guard guard(lock_);
  return items_;
}

std::optional<PairedDevice> PairedDeviceStore::pairedDevice(const UUID& deviceID) const {
  std::lock_guard guard(lock_);
  for (const auto& device : items_)
    if (device.deviceID == deviceID) return device;
  return std::nullopt;
}

bool PairedDeviceStore::upsertPairedDevice(const PairedDevice& device) {
  std::lock_guard guard(lock_);
  std::vector<PairedDevice> previous = items_;
  std::erase_if(items_, [&](const PairedDevice& d) { return d.deviceID == device.deviceID; });
  items_.push_back(device);
  // A name the file could not be read back with is cut where a character starts.
  std::string& name = items_.back().name;
  if (name.size() > maximumNameBytes) {
    std::size_t cut = maximumNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  if (savePairedDevicesLocked()) return true;
  items_ = std::move(previous);
  return false;
}

bool PairedDeviceStore::removePairedDevice(const UUID& deviceID) {
  std::lock_guard guard(lock_);
  if (std::erase_if(items_, [&](const PairedDevice& d) { return d.deviceID == deviceID; }) == 0) return false;
  savePairedDevicesLocked();
  return true;
}

void PairedDeviceStore::updatePairedDeviceDate(const UUID& deviceID, Date date) {
  std::lock_guard guard(lock_);
  updatePairedDeviceDateLocked(deviceID, date);
}

void PairedDeviceStore::updatePairedDeviceDateLocked(const UUID& deviceID, Date date) {
  for (auto& device : items_) {
    if (device.deviceID == deviceID) {
      device.lastSeen = date;
      savePairedDevicesLocked();
      return;
    }
  }
}

bool PairedDeviceStore::savePairedDevicesLocked() {
  if (!fileURL_) return true;
  nlohmann::json document = nlohmann::json::array();
  for (const auto& device : items_) document.push_back(recordOf(device));
  std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (text.size() > maximumFileBytes) {  // it could not be read back
    pairingLog().error("paired devices could not be saved: the list would take more than %zu bytes", maximumFileBytes);
    return false;
  }
  std::error_code ignored;
  std::filesystem::create_directories(fileURL_->parent_path(), ignored);
  if (!setUnreadableFileAside()) return false;
  int rc = platform::AtomicFile::write(*fileURL_, bytesOf(text), 0600);
  ::chmod(fileURL_->c_str(), 0600);
  if (rc != 0) {
    pairingLog().error("paired devices could not be saved: %s", std::strerror(rc));
    return false;
  }
  return true;
}

}  // namespace brindlet
