#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "kit/pairing/MemorySecretStore.h"
#include "kit/relay/RelayConfigStore.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "platform/crypto/Base64.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet {
namespace {

std::string textOf(const std::optional<Bytes>& item) {
  return item ? std::string(item->begin(), item->end()) : std::string("<none>");
}

void put(SecretStore& store, const std::string& text) {
  store.save(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

class RelayConfigStoreTest : public ::testing::Test {
 protected:
  RelayConfig configFor(const Bytes& deviceKey, std::vector<RelayEndpoint> relays = {{"relay.example", 7000}}) {
    return {std::move(relays),
            issueRelayJoinGrant(deviceKey, host, std::chrono::system_clock::now(), relayGrantValidity)};
  }

  std::shared_ptr<MemorySecretStore> item = std::make_shared<MemorySecretStore>();
  RelayConfigStore store{item};
  P256RelaySigner host{platform::P256PrivateKey::generate()};
  Bytes deviceKey = platform::P256PrivateKey::generate().publicKeyX963();
};

TEST_F(RelayConfigStoreTest, KeepsOneConfigurationPerHostUnderItsUpperCaseID) {
  UUID first = UUID::random(), second = UUID::random();
  RelayConfig a = configFor(deviceKey), b = configFor(deviceKey, {{"10.0.0.1", 1}, {"relay.example", 65535}});
  store.setRelayConfigForHost(a, first);
  store.setRelayConfigForHost(b, second);
  EXPECT_EQ(store.relayConfigForHost(first), a);
  EXPECT_EQ(store.relayConfigForHost(second), b);
  EXPECT_EQ(store.relayConfigForHost(UUID::random()), std::nullopt);
  EXPECT_NE(textOf(item->load()).find(first.uuidString()), std::string::npos);
  EXPECT_NE(textOf(item->load()).find(R"("grant":")" + platform::base64Encode(a.grant) + R"(")"), std::string::npos);

  // Replacing one leaves the other; another store over the same item reads the same.
  store.setRelayConfigForHost(b, first);
  RelayConfigStore again(item);
  EXPECT_EQ(again.relayConfigForHost(first), b);
  auto all = again.allRelayConfigs();
  std::sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  auto expected = std::vector<std::pair<UUID, RelayConfig>>{{first, b}, {second, b}};
  std::sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  EXPECT_EQ(all, expected);

  // Removing the last entry deletes the item.
  store.removeRelayConfigForHost(first);
  EXPECT_TRUE(item->load());
  store.removeRelayConfigForHost(second);
  EXPECT_FALSE(item->load()) << textOf(item->load());
}

TEST_F(RelayConfigStoreTest, MalformedEntriesAreDroppedAndTheItemRewrittenWithoutThem) {
  UUID good = UUID::random();
  const std::string goodEntry = R"({"relays":[{"host":"relay.example","port":7000}],"grant":"AQID"})";
  put(*item, "{\"" + good.uuidString() + "\":" + goodEntry + R"(,"not-a-host":)" + goodEntry +
                 R"(,"0F0E0D0C-0B0A-4908-8706-050403020100":{"relays":[{"host":"x","port":70000}],"grant":"AQID"})"
                 R"(,"1F0E0D0C-0B0A-4908-8706-050403020100":{"relays":"x","grant":"AQID"})"
                 R"(,"2F0E0D0C-0B0A-4908-8706-050403020100":{"relays":[],"grant":"not base64!"})"
                 R"(,"3F0E0D0C-0B0A-4908-8706-050403020100":{"relays":[{"host":5,"port":1}],"grant":"AQID"})"
                 R"(,"4F0E0D0C-0B0A-4908-8706-050403020100":{"relays":[]}})");
  RelayConfig expected{{{"relay.example", 7000}}, {1, 2, 3}};
  EXPECT_EQ(store.relayConfigForHost(good), expected);
  // What decodes stays (also a key that is no host ID); the rest is gone from the item.
  const std::string rewritten = textOf(item->load());
  EXPECT_NE(rewritten.find(good.uuidString()), std::string::npos);
  EXPECT_NE(rewritten.find("not-a-host"), std::string::npos);
  EXPECT_EQ(rewritten.find("0F0E0D0C"), std::string::npos) << rewritten;
  EXPECT_EQ(rewritten.find("4F0E0D0C"), std::string::npos) << rewritten;
  // Keys that are no host ID are not listed.
  auto all = store.allRelayConfigs();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].first, good);
}

TEST_F(RelayConfigStoreTest, AnItemThatIsNotAnObjectIsDeletedAndReadsAsEmpty) {
  for (const std::string text : {"not json", "[1,2]", "\"text\""}) {
    put(*item, text);
    EXPECT_EQ(store.relayConfigForHost(UUID::random()), std::nullopt) << text;
    EXPECT_FALSE(item->load()) << text;
  }
}

// A store whose reads and writes fail: reads give nothing, writes are lost, nothing throws.
class FailingStore final : public SecretStore {
 public:
  std::optional<Bytes> load() override { throw SecretStoreError::keychain(-25300); }
  void save(ByteView) override { throw SecretStoreError::keychain(-25299); }
  void remove() override {}
};

TEST_F(RelayConfigStoreTest, StoreFailuresAreSwallowed) {
  RelayConfigStore failing(std::make_shared<FailingStore>());
  UUID host = UUID::random();
  EXPECT_NO_THROW(failing.setRelayConfigForHost(configFor(deviceKey), host));
  EXPECT_EQ(failing.relayConfigForHost(host), std::nullopt);
  EXPECT_NO_THROW(failing.removeRelayConfigForHost(host));
  EXPECT_TRUE(failing.allRelayConfigs().empty());
}

TEST_F(RelayConfigStoreTest, ValidityNeedsOneToEightUsableRelaysAndAGrantForThisDevice) {
  const RelayConfig good = configFor(deviceKey);
  auto with = [&](auto change) {
    RelayConfig config = good;
    change(config);
    return config;
  };
  const Bytes otherKey = platform::P256PrivateKey::generate().publicKeyX963();
  struct Case {
    const char* name;
    RelayConfig config;
    bool valid;
  };
  const Case cases[] = {
      {"one relay", good, true},
      {"eight relays", with([](RelayConfig& c) {
         c.relays.assign(8, {"relay.example", 7000});
       }),
       true},
      {"no relay", with([](RelayConfig& c) { c.relays.clear(); }), false},
      {"nine relays", with([](RelayConfig& c) {
         c.relays.assign(9, {"relay.example", 7000});
       }),
       false},
      {"empty host", with([](RelayConfig& c) {
         c.relays.push_back({"", 7000});
       }),
       false},
      {"port 0", with([](RelayConfig& c) {
         c.relays.push_back({"relay.example", 0});
       }),
       false},
      {"169-byte grant", with([](RelayConfig& c) { c.grant.pop_back(); }), false},
      {"grant version 2", with([](RelayConfig& c) { c.grant[0] = 2; }), false},
      {"another device's grant", configFor(otherKey), false},
  };
  for (const auto& c : cases) EXPECT_EQ(RelayConfigStore::relayConfigIsValid(c.config, deviceKey), c.valid) << c.name;
  // The signature and the expiry are not examined here.
  RelayConfig expired{good.relays, issueRelayJoinGrant(deviceKey, host, std::chrono::system_clock::time_point{},
                                                       std::chrono::seconds(1))};
  EXPECT_TRUE(RelayConfigStore::relayConfigIsValid(expired, deviceKey));
}

}  // namespace
}  // namespace brindlet
