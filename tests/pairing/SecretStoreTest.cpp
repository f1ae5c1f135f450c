#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "kit/pairing/ClientIdentity.h"
#include "kit/pairing/KeychainSecretStore.h"
#include "kit/pairing/MemorySecretStore.h"
#include "pairing/TestSupport.h"

namespace brindlet {
namespace {

using platform::KeychainStatus;

class SecretStoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  std::unique_ptr<SecretStore> make() {
    if (GetParam() == "memory") return std::make_unique<MemorySecretStore>();
    return std::make_unique<KeychainSecretStore>("io.tavix.nolu.test", "secret",
                                                 platform::Keychain(folder.path() / "Keychain"));
  }
  testing::TempFolder folder;
};

TEST_P(SecretStoreContract, LoadSaveDelete) {
  auto store = make();
  EXPECT_EQ(store->load(), std::nullopt);  // never saved: nothing, not an error
  store->remove();                         // removing a missing item is fine
  store->save(Bytes{1, 2, 3});
  store->save(Bytes{4, 5});
  EXPECT_EQ(store->load(), (Bytes{4, 5}));
  store->save(Bytes{});
  EXPECT_EQ(store->load(), Bytes{});  // an empty secret is still a secret
  store->remove();
  EXPECT_EQ(store->load(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Stores, SecretStoreContract, ::testing::Values("keychain", "memory"));

class KeychainSecretStoreTest : public ::testing::Test {
 protected:
  platform::Keychain keychain() const { return platform::Keychain(folder.path() / "Keychain"); }
  std::filesystem::path onlyItemFile() const {
    std::filesystem::path found;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(keychain().folder())) found = entry.path(), ++count;
    EXPECT_EQ(count, 1);
    return found;
  }
  testing::TempFolder folder;
};

TEST_F(KeychainSecretStoreTest, ItemsAreOwnerOnlyFilesNamedByServiceAndAccount) {
  KeychainSecretStore a("io.tavix.nolu.host", "relay-account-secret", keychain());
  KeychainSecretStore b("io.tavix.nolu.host", "other", keychain());
  KeychainSecretStore c("io.tavix.nolu.client", "relay-account-secret", keychain());
  a.save(bytesOf("first"));
  EXPECT_EQ(b.load(), std::nullopt);
  EXPECT_EQ(c.load(), std::nullopt);
  b.save(bytesOf("second"));
  a.save(bytesOf("third"));
  EXPECT_EQ(a.load(), bytesOf("third"));
  EXPECT_EQ(b.load(), bytesOf("second"));

  struct stat st {};
  ASSERT_EQ(::stat(keychain().folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(keychain().folder())) {
    ++files;
    EXPECT_NE(entry.path().filename().string()[0], '.') << "temporary file left behind";
    ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(files, 2);
  // The deletion by service and account removes that item only.
  a.remove();
  EXPECT_EQ(a.load(), std::nullopt);
  EXPECT_EQ(b.load(), bytesOf("second"));
}

TEST_F(KeychainSecretStoreTest, FailuresOtherThanAMissingItemAreReportedWithTheirStatus) {
  KeychainSecretStore store("io.tavix.nolu.client", "identity", keychain());
  store.save(bytesOf("secret"));
  auto item = onlyItemFile();

  // A file that cannot be read (here: a folder in its place) is a failure, not "nothing".
  std::filesystem::remove(item);
  std::filesystem::create_directory(item);
  try {
    store.load();
    ADD_FAILURE() << "load of an unreadable item succeeded";
  } catch (const SecretStoreError& error) {
    EXPECT_EQ(error, SecretStoreError::keychain(KeychainStatus::ioFailure));
  }
  EXPECT_THROW(store.save(bytesOf("new")), SecretStoreError);

  // A file whose content is not an item.
  std::filesystem::remove(item);
  testing::writeFile(item, bytesOf("{\"class\":\"password\""));
  try {
    store.load();
    ADD_FAILURE() << "load of an undecodable item succeeded";
  } catch (const SecretStoreError& error) {
    EXPECT_EQ(error.status(), KeychainStatus::invalidItem);
  }
  EXPECT_NE(KeychainStatus::invalidItem, KeychainStatus::itemNotFound);
  EXPECT_NE(KeychainStatus::ioFailure, KeychainStatus::itemNotFound);
}

TEST_F(KeychainSecretStoreTest, KeychainLockIsRecursiveAndSerialisesThreads) {
  {
    std::lock_guard held(platform::keychainLock());
    KeychainSecretStore store("svc", "held", keychain());
    store.save(Bytes{7});  // takes the same lock again on this thread
    EXPECT_EQ(store.load(), Bytes{7});
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      KeychainSecretStore shared("svc", "shared", keychain());
      KeychainSecretStore own("svc", "own-" + std::to_string(t), keychain());
      for (int i = 0; i < 25; ++i) {
        Bytes value{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
        try {
          shared.save(value);
          own.save(value);
          if (own.load() != value || !shared.load()) ++failures;
        } catch (const SecretStoreError&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(KeychainSecretStore("svc", "own-2", keychain()).load(), (Bytes{2, 24}));
}

// ClientIdentity.

const char* generatorX963 =
    "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
    "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
const char* orderN = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes storedForm(const UUID& id, const Bytes& scalar) {
  Bytes out(id.bytes.begin(), id.bytes.end());
  out.insert(out.end(), scalar.begin(), scalar.end());
  return out;
}

TEST(ClientIdentity, StoredFormIsIDAndScalar) {
  UUID id = UUID::random();
  Bytes one(32, 0);
  one[31] = 1;
  auto identity = ClientIdentity::fromData(storedForm(id, one));
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->deviceID, id);
  EXPECT_EQ(toHex(identity->publicKeyX963()), generatorX963);  // 1·G = G
  EXPECT_EQ(identity->data(), storedForm(id, one));

  Bytes nMinusOne = testing::fromHex(orderN);
  nMinusOne[31] -= 1;
  EXPECT_TRUE(ClientIdentity::fromData(storedForm(id, nMinusOne)));

  const Bytes rejected[] = {Bytes(32, 0), testing::fromHex(orderN), Bytes(32, 0xff)};
  for (const auto& scalar : rejected) EXPECT_FALSE(ClientIdentity::fromData(storedForm(id, scalar))) << toHex(scalar);
  Bytes good = storedForm(id, one);
  EXPECT_FALSE(ClientIdentity::fromData(Bytes(good.begin(), good.end() - 1)));
  good.push_back(0);
  EXPECT_FALSE(ClientIdentity::fromData(good));
}

TEST(ClientIdentity, PublicKeyOfAStoredScalarMatchesPython) {
  ClientIdentity made{UUID::random(), platform::P256PrivateKey::generate()};
  Bytes scalar = made.privateKey.rawScalar();
  ASSERT_EQ(scalar.size(), 32u);
  auto loaded = ClientIdentity::fromData(made.data());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->publicKeyX963(), made.publicKeyX963());
  int status = 0;
  std::string out = testing::runCommand(
      "/usr/bin/python3 -c 'import sys; from cryptography.hazmat.primitives.asymmetric import ec; "
      "from cryptography.hazmat.primitives import serialization as s; "
      "k = ec.derive_private_key(int(sys.argv[1], 16), ec.SECP256R1()); "
      "print(k.public_key().public_bytes(s.Encoding.X962, s.PublicFormat.UncompressedPoint).hex())' " +
          toHex(scalar),
      status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(out, toHex(loaded->publicKeyX963()) + "\n");
}

TEST(ClientIdentity, LoadOrCreateKeepsOneIdentityAndReplacesACorruptOne) {
  MemorySecretStore store;
  ClientIdentity first = ClientIdentity::loadOrCreate(store);
  ASSERT_EQ(store.load()->size(), 48u);
  ClientIdentity again = ClientIdentity::loadOrCreate(store);
  EXPECT_EQ(again.deviceID, first.deviceID);
  EXPECT_EQ(again.publicKeyX963(), first.publicKeyX963());

  store.save(storedForm(first.deviceID, Bytes(32, 0)));  // 48 bytes, but no valid key
  ClientIdentity replaced = ClientIdentity::loadOrCreate(store);
  EXPECT_NE(replaced.deviceID, first.deviceID);
  EXPECT_EQ(store.load(), replaced.data());
}

class FailingStore : public SecretStore {
 public:
  bool failLoad = false;
  std::optional<Bytes> load() override {
    if (failLoad) throw SecretStoreError::keychain(-36);
    return std::nullopt;
  }
  void save(ByteView) override { throw SecretStoreError::keychain(-61); }
  void remove() override {}
};

TEST(ClientIdentity, StoreFailuresReachTheCaller) {
  FailingStore store;
  store.failLoad = true;
  try {
    ClientIdentity::loadOrCreate(store);
    ADD_FAILURE();
  } catch (const SecretStoreError& error) {
    EXPECT_EQ(error.status(), -36);
  }
  store.failLoad = false;
  try {
    ClientIdentity::loadOrCreate(store);
    ADD_FAILURE();
  } catch (const SecretStoreError& error) {
    EXPECT_EQ(error.status(), -61);
  }
}

TEST(ClientIdentity, DefaultStoreIsTheDeviceKeychainItem) {
  auto store = ClientIdentity::defaultStore();
  EXPECT_EQ(store.service, "io.tavix.nolu.client");
  EXPECT_EQ(store.account, "identity");
}

}  // namespace
}  // namespace brindlet
