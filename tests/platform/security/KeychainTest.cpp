#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <vector>

#include "pairing/TestSupport.h"
#include "platform/crypto/Digest.h"
#include "platform/keychain/Keychain.h"
#include "platform/log/Log.h"

namespace brindlet::platform {
namespace {

using brindlet::testing::TempFolder;

// A certificate for the key, signed with it (only its public key matters to the keychain).
Bytes certificateFor(const P256PrivateKey& key);

TEST(Keychain, EveryKindTellsAMissingItemApart) {
  TempFolder folder;
  Keychain keychain(folder.path() / "never-made");
  Bytes hash(32, 1);
  EXPECT_EQ(keychain.copyGenericPassword("s", "a").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.updateGenericPassword("s", "a", Bytes{1}), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.deleteGenericPassword("s", "a"), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.copyKey(bytesOf("tag")).status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.deleteKeys(bytesOf("tag")), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.copyCertificate(hash).status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.deleteCertificates(hash), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.deleteCertificatesLabelled("label"), KeychainStatus::itemNotFound);
  EXPECT_FALSE(std::filesystem::exists(keychain.folder()));  // lookups create nothing
}

TEST(Keychain, GenericPasswordsAddOnceThenUpdate) {
  TempFolder folder;
  Keychain keychain(folder.path() / "Keychain");
  EXPECT_EQ(keychain.addGenericPassword("s", "a", Bytes{1}), KeychainStatus::success);
  EXPECT_EQ(keychain.addGenericPassword("s", "a", Bytes{2}), KeychainStatus::duplicateItem);
  EXPECT_EQ(keychain.updateGenericPassword("s", "a", Bytes{3}), KeychainStatus::success);
  EXPECT_EQ(keychain.copyGenericPassword("s", "a").value, Bytes{3});
  // Service and account are kept apart even when their concatenations agree.
  EXPECT_EQ(keychain.copyGenericPassword("sa", "").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.deleteGenericPassword("s", "a"), KeychainStatus::success);
  EXPECT_EQ(keychain.copyGenericPassword("s", "a").status, KeychainStatus::itemNotFound);
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(Keychain, LoadsMakeALooseFolderAndItsItemsOwnerOnlyAndSaySo) {
  TempFolder folder;
  Keychain keychain(folder.path() / "Keychain");
  ASSERT_EQ(keychain.addGenericPassword("s", "a", Bytes{1}), KeychainStatus::success);
  ASSERT_EQ(keychain.addKey(bytesOf("tag"), "label", P256PrivateKey::generate()), KeychainStatus::success);
  std::vector<std::filesystem::path> items;
  for (const auto& entry : std::filesystem::directory_iterator(keychain.folder())) items.push_back(entry.path());
  ASSERT_EQ(items.size(), 2u);
  ASSERT_EQ(::chmod(keychain.folder().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(items[0].c_str(), 0666), 0);
  ASSERT_EQ(::chmod(items[1].c_str(), 0640), 0);

  std::vector<std::string> logged;
  auto previous = setLogObserver([&](const LogRecord& record) { logged.push_back(record.message); });
  EXPECT_EQ(keychain.copyGenericPassword("s", "a").value, Bytes{1});
  EXPECT_EQ(keychain.copyKey(bytesOf("tag")).status, KeychainStatus::success);
  std::size_t afterFirst = logged.size();
  EXPECT_EQ(keychain.copyGenericPassword("s", "a").value, Bytes{1});  // already tight: nothing more said
  setLogObserver(previous);

  EXPECT_EQ(modeOf(keychain.folder()), 0700u);
  for (const auto& item : items) EXPECT_EQ(modeOf(item), 0600u) << item;
  ASSERT_EQ(afterFirst, 3u);
  EXPECT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0], "keychain folder " + keychain.folder().string() + " was mode 0777; now 0700");
}

TEST(Keychain, KeysAndCertificatesFormIdentitiesThroughThePublicKeyHash) {
  TempFolder folder;
  Keychain keychain(folder.path() / "Keychain");
  auto key = P256PrivateKey::generate();
  Bytes tag = bytesOf("io.tavix.nolu.host.identity");
  ASSERT_EQ(keychain.addKey(tag, "io.tavix.nolu.host.identity", key), KeychainStatus::success);
  EXPECT_EQ(keychain.addKey(tag, "io.tavix.nolu.host.identity", key), KeychainStatus::duplicateItem);
  auto stored = keychain.copyKey(tag);
  ASSERT_EQ(stored.status, KeychainStatus::success);
  EXPECT_EQ(stored.value->applicationLabel, Keychain::publicKeyHash(key.publicKeyX963()));
  EXPECT_EQ(stored.value->key.rawScalar(), key.rawScalar());
  EXPECT_EQ(stored.value->label, "io.tavix.nolu.host.identity");

  EXPECT_EQ(keychain.addCertificate("x", bytesOf("not a certificate")), KeychainStatus::invalidParameter);
  Bytes der = certificateFor(key);
  ASSERT_EQ(keychain.addCertificate("io.tavix.nolu.host.identity", der), KeychainStatus::success);
  auto certificate = keychain.copyCertificate(stored.value->applicationLabel);
  ASSERT_EQ(certificate.status, KeychainStatus::success);
  EXPECT_EQ(certificate.value->der, der);
  auto identity = keychain.copyIdentity(*certificate.value);
  ASSERT_EQ(identity.status, KeychainStatus::success);
  EXPECT_EQ(identity.value->privateKey.publicKeyX963(), key.publicKeyX963());

  // A certificate whose key is not stored forms no identity.
  auto stranger = P256PrivateKey::generate();
  ASSERT_EQ(keychain.addCertificate("other", certificateFor(stranger)), KeychainStatus::success);
  auto strangerCertificate = keychain.copyCertificate(Keychain::publicKeyHash(stranger.publicKeyX963()));
  EXPECT_EQ(keychain.copyIdentity(*strangerCertificate.value).status, KeychainStatus::itemNotFound);

  // An unreadable item of another key hides nothing once the key is found; without a match
  // it may have been the key itself, so that is a failure, not "not found".
  std::filesystem::create_directory(keychain.folder() / "key-unreadable");
  EXPECT_EQ(keychain.copyIdentity(*certificate.value).status, KeychainStatus::success);
  EXPECT_EQ(keychain.copyIdentity(*strangerCertificate.value).status, KeychainStatus::ioFailure);

  EXPECT_EQ(keychain.deleteCertificatesLabelled("io.tavix.nolu.host.identity"), KeychainStatus::success);
  EXPECT_EQ(keychain.copyCertificate(stored.value->applicationLabel).status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.copyCertificate(Keychain::publicKeyHash(stranger.publicKeyX963())).status,
            KeychainStatus::success);
}

}  // namespace
}  // namespace brindlet::platform

#include <gnutls/abstract.h>
#include <gnutls/x509.h>

namespace brindlet::platform {
namespace {

Bytes certificateFor(const P256PrivateKey& key) {
  Bytes pkcs8 = key.pkcs8DER();
  gnutls_datum_t keyDER{pkcs8.data(), static_cast<unsigned>(pkcs8.size())};
  gnutls_privkey_t privateKey;
  gnutls_privkey_init(&privateKey);
  gnutls_privkey_import_x509_raw(privateKey, &keyDER, GNUTLS_X509_FMT_DER, nullptr, 0);
  gnutls_x509_crt_t crt;
  gnutls_x509_crt_init(&crt);
  gnutls_pubkey_t pub;
  gnutls_pubkey_init(&pub);
  gnutls_pubkey_import_privkey(pub, privateKey, 0, 0);
  gnutls_x509_crt_set_pubkey(crt, pub);
  gnutls_x509_crt_set_version(crt, 3);
  unsigned char serial[] = {1};
  gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
  gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "t", 1);
  auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  gnutls_x509_crt_set_activation_time(crt, now);
  gnutls_x509_crt_set_expiration_time(crt, now + 3600);
  gnutls_x509_crt_privkey_sign(crt, crt, privateKey, GNUTLS_DIG_SHA256, 0);
  gnutls_datum_t out;
  gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &out);
  Bytes der(out.data, out.data + out.size);
  gnutls_free(out.data);
  gnutls_pubkey_deinit(pub);
  gnutls_x509_crt_deinit(crt);
  gnutls_privkey_deinit(privateKey);
  return der;
}

}  // namespace
}  // namespace brindlet::platform
