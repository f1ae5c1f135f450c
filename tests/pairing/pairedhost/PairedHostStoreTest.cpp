#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kit/pairing/MemorySecretStore.h"
#include "kit/pairing/PairedHostStore.h"

namespace brindlet {
namespace {

using namespace std::chrono;

// A slot in memory that counts writes and can be made to fail.
class SlotDouble final : public SecretStore {
 public:
  std::optional<Bytes> load() override {
    if (failLoads) throw std::runtime_error("load refused");
    return memory.load();
  }
  void save(ByteView data) override {
    if (failSaves) throw std::runtime_error("save refused");
    ++saves;
    memory.save(data);
  }
  void remove() override { memory.remove(); }

  std::string text() {
    auto data = memory.load();
    return data ? std::string(data->begin(), data->end()) : std::string();
  }
  void setText(const std::string& text) { memory.save(bytesOf(text)); }

  MemorySecretStore memory;
  int saves = 0;
  bool failLoads = false;
  bool failSaves = false;
};

system_clock::time_point at(long seconds) { return system_clock::time_point(std::chrono::seconds(seconds)); }

PairedHost host(const char* id, std::string name, uint8_t fill = 1) {
  return {*UUID::parse(id), std::move(name), Bytes(32, fill), at(1767225600), std::nullopt};
}

const char* kA = "11111111-2222-4333-8444-555555555555";
const char* kB = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";
const char* kC = "99999999-8888-4777-8666-555555555555";

class PairedHostStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<SlotDouble> slot = std::make_shared<SlotDouble>();
  PairedHostStore store{slot};
};

TEST_F(PairedHostStoreTest, WritesOneCompactJSONArrayAndReadsItBack) {
  PairedHost a = host(kA, "Studio Mac", 0xAB);
  a.lastUsed = at(1767229200);
  PairedHost b = host(kB, "Büro-Mac");
  store.upsertPairedHost(a);
  store.upsertPairedHost(b);

  EXPECT_EQ(store.allPairedHosts(), (std::vector<PairedHost>{a, b}));
  const std::string text = slot->text();
  EXPECT_EQ(text.find_first_of(" \n"), text.find("Studio Mac") + 6) << "compact: the only space is in a name";
  const auto json = nlohmann::json::parse(text);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["hostID"], "11111111-2222-4333-8444-555555555555");
  EXPECT_EQ(json[1]["hostID"], "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
  EXPECT_EQ(json[0]["fingerprint"], "q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=");
  EXPECT_EQ(json[0]["pairedAt"], "2026-01-01T00:00:00Z");
  EXPECT_EQ(json[0]["lastUsed"], "2026-01-01T01:00:00Z");
  EXPECT_FALSE(json[1].contains("lastUsed")) << "an absent date is left out";
  EXPECT_EQ(json[1]["name"], "Büro-Mac");
}

TEST_F(PairedHostStoreTest, ReadsWhatAnotherWriterStored) {
  // Lower-case ID, members in another order and one it does not know.
  slot->setText(
      R"([{"name":"Den","pairedAt":"2026-01-01T00:00:00Z","extra":true,)"
      R"("fingerprint":"AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=","hostID":"aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",)"
      R"("lastUsed":null}])");
  auto hosts = store.allPairedHosts();
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0], host(kB, "Den"));
}

TEST_F(PairedHostStoreTest, UnreadableValuesCountAsEmptyAndTheNextWriteReplacesThem) {
  const std::string bad[] = {
      "not json",
      R"({"hostID":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"})",
      // one good element and one without its name: the list does not decode as a whole
      R"([{"hostID":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE","name":"A","fingerprint":"AQ==","pairedAt":"2026-01-01T00:00:00Z"},)"
      R"({"hostID":"11111111-2222-4333-8444-555555555555","fingerprint":"AQ==","pairedAt":"2026-01-01T00:00:00Z"}])",
      R"([{"hostID":"not-a-uuid","name":"A","fingerprint":"AQ==","pairedAt":"2026-01-01T00:00:00Z"}])",
      R"([{"hostID":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE","name":"A","fingerprint":"!!","pairedAt":"2026-01-01T00:00:00Z"}])",
      R"([{"hostID":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE","name":"A","fingerprint":"AQ==","pairedAt":"yesterday"}])",
      R"([{"hostID":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE","name":"A","fingerprint":"AQ==","pairedAt":"8840-12-10T17:21:20Z"}])",
  };
  for (const auto& text : bad) {
    slot->setText(text);
    EXPECT_TRUE(store.allPairedHosts().empty()) << text;
  }
  store.upsertPairedHost(host(kA, "New"));
  EXPECT_EQ(store.allPairedHosts(), std::vector<PairedHost>{host(kA, "New")});
  EXPECT_EQ(nlohmann::json::parse(slot->text()).size(), 1u);

  slot->failLoads = true;
  EXPECT_TRUE(store.allPairedHosts().empty());
}

TEST_F(PairedHostStoreTest, UpsertReplacesAndMovesToTheEnd) {
  store.upsertPairedHost(host(kA, "A"));
  store.upsertPairedHost(host(kB, "B"));
  store.upsertPairedHost(host(kA, "A renamed", 7));
  EXPECT_EQ(store.allPairedHosts(), (std::vector<PairedHost>{host(kB, "B"), host(kA, "A renamed", 7)}));
  EXPECT_EQ(store.pairedHost(*UUID::parse(kA)), host(kA, "A renamed", 7));
  EXPECT_EQ(store.pairedHost(*UUID::parse(kC)), std::nullopt);
}

TEST_F(PairedHostStoreTest, RemoveWritesAlsoWhenNothingWasRemoved) {
  store.upsertPairedHost(host(kA, "A"));
  store.upsertPairedHost(host(kB, "B"));
  const int before = slot->saves;
  store.removePairedHost(*UUID::parse(kC));
  EXPECT_EQ(slot->saves, before + 1);
  EXPECT_EQ(store.allPairedHosts().size(), 2u);
  store.removePairedHost(*UUID::parse(kA));
  EXPECT_EQ(store.allPairedHosts(), std::vector<PairedHost>{host(kB, "B")});
}

TEST_F(PairedHostStoreTest, UpdatingTheDateTouchesOnlyAKnownHost) {
  store.upsertPairedHost(host(kA, "A"));
  store.upsertPairedHost(host(kB, "B"));
  const int before = slot->saves;
  store.updatePairedHostDate(*UUID::parse(kC), at(1767300000));
  EXPECT_EQ(slot->saves, before) << "an unknown ID writes nothing";

  store.updatePairedHostDate(*UUID::parse(kB), at(1767300000) + milliseconds(700));
  auto stored = store.pairedHost(*UUID::parse(kB));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->lastUsed, at(1767300000)) << "stored to the whole second";
  EXPECT_EQ(store.pairedHost(*UUID::parse(kA))->lastUsed, std::nullopt);
}

TEST_F(PairedHostStoreTest, ADiscoveredHostMatchesByIDElseByExactName) {
  store.upsertPairedHost(host(kA, "Studio"));
  store.upsertPairedHost(host(kB, "Studio"));
  store.upsertPairedHost(host(kC, "Attic"));
  struct Case {
    std::optional<UUID> advertised;
    std::string name;
    std::optional<const char*> expected;
  } cases[] = {
      {UUID::parse(kB), "Attic", kB},            // the ID decides, the name is not consulted
      {UUID::random(), "Studio", std::nullopt},  // an unknown ID matches nothing, even by name
      {std::nullopt, "Studio", kA},              // no ID: the first host of that name
      {std::nullopt, "studio", std::nullopt},    // names compare exactly
      {std::nullopt, "Cellar", std::nullopt},
  };
  for (const auto& c : cases) {
    DiscoveredHost discovered{c.name + "._nolu._udp.local", c.name, c.advertised, false};
    auto found = store.pairedHost(discovered);
    if (c.expected) {
      ASSERT_TRUE(found) << c.name;
      EXPECT_EQ(found->hostID, *UUID::parse(*c.expected)) << c.name;
    } else {
      EXPECT_FALSE(found) << c.name;
    }
  }
}

TEST_F(PairedHostStoreTest, AFailedWriteKeepsTheOldValueAndThrowsNothing) {
  store.upsertPairedHost(host(kA, "A"));
  const std::string before = slot->text();
  slot->failSaves = true;
  EXPECT_NO_THROW(store.upsertPairedHost(host(kB, "B")));
  EXPECT_EQ(slot->text(), before);
}

}  // namespace
}  // namespace brindlet
