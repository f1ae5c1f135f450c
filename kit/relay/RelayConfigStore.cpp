#include "kit/relay/RelayConfigStore.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <map>

#include "kit/pairing/SecretStore.h"
#include "kit/relay/RelayJoinGrant.h"
#include "platform/crypto/Base64.h"

namespace brindlet {
namespace {

using nlohmann::json;

constexpr std::size_t maxRelays = 8;

// A configuration as stored: {"relays": [{"host": text, "port": number}], "grant": base64}.
// Nothing unless both keys hold values of their types (a port a 16-bit number).
std::optional<RelayConfig> decodeConfig(const json& value) {
  if (!value.is_object()) return std::nullopt;
  auto relays = value.find("relays");
  auto grant = value.find("grant");
  if (relays == value.end() || !relays->is_array() || grant == value.end() || !grant->is_string()) return std::nullopt;
  RelayConfig config;
  for (const auto& relay : *relays) {
    if (!relay.is_object()) return std::nullopt;
    auto host = relay.find("host");
    auto port = relay.find("port");
    if (host == relay.end() || !host->is_string() || port == relay.end() || !port->is_number_integer()) {
      return std::nullopt;
    }
    auto number = port->get<std::int64_t>();
    if (number < 0 || number > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
    config.relays.push_back({host->get<std::string>(), static_cast<std::uint16_t>(number)});
  }
  auto bytes = platform::base64Decode(grant->get<std::string>());
  if (!bytes) return std::nullopt;
  config.grant = std::move(*bytes);
  return config;
}

json encodeConfig(const RelayConfig& config) {
  json relays = json::array();
  for (const auto& relay : config.relays) relays.push_back({{"host", relay.host}, {"port", relay.port}});
  return {{"relays", std::move(relays)}, {"grant", platform::base64Encode(config.grant)}};
}

}  // namespace

struct RelayConfigStore::Entries {
  std::map<std::string, RelayConfig> byHost;  // keyed by the host ID's canonical text
};

RelayConfigStore::RelayConfigStore(std::shared_ptr<SecretStore> store) : store_(std::move(store)) {}

RelayConfigStore::Entries RelayConfigStore::load() {
  Entries entries;
  std::optional<Bytes> item;
  try {
    item = store_->load();
  } catch (const std::exception&) {
    return entries;
  }
  if (!item) return entries;
  json value = json::parse(item->begin(), item->end(), nullptr, false);
  if (!value.is_object()) {
    store_->remove();
    return entries;
  }
  bool dropped = false;
  for (const auto& [key, stored] : value.items()) {
    if (auto config = decodeConfig(stored)) {
      entries.byHost.emplace(key, std::move(*config));
    } else {
      dropped = true;
    }
  }
  if (dropped) save(entries);
  return entries;
}

void RelayConfigStore::save(const Entries& entries) {
  if (entries.byHost.empty()) {
    store_->remove();
    return;
  }
  json value = json::object();
  for (const auto& [key, config] : entries.byHost) value[key] = encodeConfig(config);
  try {
    std::string text = value.dump();
    store_->save(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  } catch (const std::exception&) {
    // Not kept: the next read finds what was there before.
  }
}

std::optional<RelayConfig> RelayConfigStore::relayConfigForHost(const UUID& host) {
  std::lock_guard lock(lock_);
  auto entries = load();
  auto found = entries.byHost.find(host.uuidString());
  if (found == entries.byHost.end()) return std::nullopt;
  return found->second;
}

void RelayConfigStore::setRelayConfigForHost(const RelayConfig& config, const UUID& host) {
  std::lock_guard lock(lock_);
  auto entries = load();
  entries.byHost[host.uuidString()] = config;
  save(entries);
}

void RelayConfigStore::removeRelayConfigForHost(const UUID& host) {
  std::lock_guard lock(lock_);
  auto entries = load();
  if (entries.byHost.erase(host.uuidString()) == 0) return;
  save(entries);
}

std::vector<std::pair<UUID, RelayConfig>> RelayConfigStore::allRelayConfigs() {
  std::lock_guard lock(lock_);
  std::vector<std::pair<UUID, RelayConfig>> all;
  for (auto& [key, config] : load().byHost) {
    if (auto host = UUID::parse(key)) all.emplace_back(*host, std::move(config));
  }
  return all;
}

bool RelayConfigStore::relayConfigIsValid(const RelayConfig& config, ByteView devicePublicKey) {
  if (config.relays.empty() || config.relays.size() > maxRelays) return false;
  for (const auto& relay : config.relays) {
    if (relay.host.empty() || relay.port == 0) return false;
  }
  auto grant = RelayJoinGrant::parse(config.grant);
  return grant && std::equal(grant->clientPublicKey.begin(), grant->clientPublicKey.end(), devicePublicKey.begin(),
                             devicePublicKey.end());
}

}  // namespace brindlet
