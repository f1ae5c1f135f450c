#include "kit/pairing/PairedHostStore.h"

#include <nlohmann/json.hpp>

#include "kit/pairing/PairedDevice.h"
#include "platform/crypto/Base64.h"

namespace brindlet {
namespace {

nlohmann::ordered_json encode(const PairedHost& host) {
  nlohmann::ordered_json object;
  object["hostID"] = host.hostID.uuidString();
  object["name"] = host.name;
  object["fingerprint"] = platform::base64Encode(host.fingerprint);
  object["pairedAt"] = iso8601String(host.pairedAt);
  if (host.lastUsed) object["lastUsed"] = iso8601String(*host.lastUsed);
  return object;
}

// Throws when a member is missing or malformed: the whole list then counts as empty.
PairedHost decode(const nlohmann::json& object) {
  auto fail = [] { return std::runtime_error("paired host record"); };
  PairedHost host;
  auto id = UUID::parse(object.at("hostID").get<std::string>());
  auto fingerprint = platform::base64Decode(object.at("fingerprint").get<std::string>());
  auto pairedAt = parseISO8601(object.at("pairedAt").get<std::string>());
  if (!id || !fingerprint || !pairedAt) throw fail();
  host.hostID = *id;
  host.name = object.at("name").get<std::string>();
  host.fingerprint = std::move(*fingerprint);
  host.pairedAt = *pairedAt;
  if (auto it = object.find("lastUsed"); it != object.end() && !it->is_null()) {
    host.lastUsed = parseISO8601(it->get<std::string>());
    if (!host.lastUsed) throw fail();
  }
  return host;
}

}  // namespace

PairedHostStore::PairedHostStore(std::shared_ptr<SecretStore> store) : store_(std::move(store)) {}

std::vector<PairedHost> PairedHostStore::loadPairedHosts() {
  std::optional<Bytes> data;
  try {
    data = store_->load();
  } catch (const std::exception&) {
    return {};
  }
  if (!data || data->empty()) return {};
  try {
    const auto value = nlohmann::json::parse(data->begin(), data->end());
    if (!value.is_array()) return {};
    std::vector<PairedHost> hosts;
    for (const auto& object : value) hosts.push_back(decode(object));
    return hosts;
  } catch (const std::exception&) {
    return {};
  }
}

void PairedHostStore::savePairedHosts(const std::vector<PairedHost>& hosts) {
  try {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& host : hosts) array.push_back(encode(host));
    const std::string text = array.dump();
    store_->save(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  } catch (const std::exception&) {
    // The old value stays.
  }
}

std::vector<PairedHost> PairedHostStore::allPairedHosts() {
  std::lock_guard lock(lock_);
  return loadPairedHosts();
}

std::optional<PairedHost> PairedHostStore::pairedHost(const UUID& hostID) {
  std::lock_guard lock(lock_);
  for (auto& host : loadPairedHosts()) {
    if (host.hostID == hostID) return host;
  }
  return std::nullopt;
}

std::optional<PairedHost> PairedHostStore::pairedHost(const DiscoveredHost& discovered) {
  std::lock_guard lock(lock_);
  for (auto& host : loadPairedHosts()) {
    if (discovered.hostID ? host.hostID == *discovered.hostID : host.name == discovered.name) return host;
  }
  return std::nullopt;
}

void PairedHostStore::upsertPairedHost(const PairedHost& host) {
  std::lock_guard lock(lock_);
  auto hosts = loadPairedHosts();
  std::erase_if(hosts, [&](const PairedHost& stored) { return stored.hostID == host.hostID; });
  hosts.push_back(host);
  savePairedHosts(hosts);
}

void PairedHostStore::removePairedHost(const UUID& hostID) {
  std::lock_guard lock(lock_);
  auto hosts = loadPairedHosts();
  std::erase_if(hosts, [&](const PairedHost& stored) { return stored.hostID == hostID; });
  savePairedHosts(hosts);
}

void PairedHostStore::updatePairedHostDate(const UUID& hostID, std::chrono::system_clock::time_point date) {
  std::lock_guard lock(lock_);
  auto hosts = loadPairedHosts();
  for (auto& host : hosts) {
    if (host.hostID == hostID) {
      host.lastUsed = date;
      savePairedHosts(hosts);
      return;
    }
  }
}

}  // namespace brindlet
