#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>

#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/support/UUID.h"
#include "kit/transport/QUICConfiguration.h"
#include "pairing/TestSupport.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/X509Certificate.h"
#include "platform/quic/Eventually.h"
#include "platform/quic/QUICListener.h"
#include "platform/quic/TLSSession.h"

namespace brindlet {
namespace {

using platform::KeychainStatus;
namespace fs = std::filesystem;

const std::string hostLabel = "io.tavix.nolu.host.identity";

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class SelfSignedIdentityTest : public ::testing::Test {
 protected:
  // The same folder that the standard keychain uses when XDG_DATA_HOME is the temp folder.
  platform::Keychain keychain() const { return platform::Keychain(folder.path() / "Nolu" / "Keychain"); }

  // Every item file with its content, to see what a call wrote.
  std::map<std::string, Bytes> snapshot() const {
    std::map<std::string, Bytes> items;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(keychain().folder(), error)) {
      Bytes content;
      if (entry.is_regular_file()) {
        std::ifstream in(entry.path(), std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
      }
      items[entry.path().filename().string()] = content;
    }
    return items;
  }
  fs::path itemFile(const std::string& kind) const {
    for (const auto& [name, content] : snapshot())
      if (name.rfind(kind + "-", 0) == 0) return keychain().folder() / name;
    return {};
  }
  fs::path writeCertificate(const Bytes& der) const {
    fs::path file = folder.path() / "cert.der";
    testing::writeFile(file, der);
    return file;
  }

  testing::TempFolder folder;
};

TEST_F(SelfSignedIdentityTest, CertificateParsesWithStandardToolsAndItsSignatureVerifies) {
  auto identity = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  ASSERT_TRUE(identity->isPersistent);
  EXPECT_EQ(identity->fingerprint, platform::sha256(identity->certificateDER));
  EXPECT_EQ(identity->tag, bytesOf(hostLabel));
  fs::path file = writeCertificate(identity->certificateDER);

  int status = 0;
  std::string info = testing::runCommand("certtool -i --inder --infile " + file.string() + " 2>&1", status);
  ASSERT_EQ(status, 0) << info;
  for (const char* expected : {"Version: 3", "Issuer: CN=Nolu Host", "Subject: CN=Nolu Host",
                               "Signature Algorithm: ECDSA-SHA256", "SECP256R1"})
    EXPECT_NE(info.find(expected), std::string::npos) << expected << "\n" << info;
  EXPECT_EQ(info.find("Extensions"), std::string::npos) << info;

  // Python's cryptography package parses it independently and checks the signature with the
  // certificate's own key.
  const char* check = R"PY(
import sys, datetime
from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives import hashes, serialization
c = x509.load_der_x509_certificate(open(sys.argv[1], "rb").read())
c.public_key().verify(c.signature, c.tbs_certificate_bytes, ec.ECDSA(c.signature_hash_algorithm))
print(c.version.name, c.subject.rfc4514_string(), c.issuer == c.subject)
print(c.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint).hex())
print(int((c.not_valid_after - c.not_valid_before).total_seconds()), 0 < c.serial_number < 2**127, len(c.extensions))
print(c.fingerprint(hashes.SHA256()).hex())
)PY";
  std::string out =
      testing::runCommand("/usr/bin/python3 -c '" + std::string(check) + "' " + file.string() + " 2>&1", status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, "v3 CN=Nolu Host True\n" + toHex(identity->privateKey().publicKeyX963()) + "\n315363600 True 0\n" +
                     toHex(identity->fingerprint) + "\n");
}

TEST_F(SelfSignedIdentityTest, IdentitySurvivesARestartOfTheProcess) {
  testing::ScopedEnvironment data("XDG_DATA_HOME", folder.path().string());
  int status = 0;
  std::string probe = HOST_IDENTITY_PROBE;
  std::string first = testing::runCommand(probe + " " + hostLabel, status);
  ASSERT_EQ(status, 0) << first;
  ASSERT_EQ(first.size(), 65u) << first;
  auto items = snapshot();
  EXPECT_EQ(items.size(), 2u);  // a key and a certificate, in the standard keychain folder

  std::string second = testing::runCommand(probe + " " + hostLabel, status);
  EXPECT_EQ(second, first);
  EXPECT_EQ(snapshot(), items);  // nothing new written
  auto inProcess = loadOrCreateHostIdentity(hostLabel, "Nolu Host");
  EXPECT_EQ(toHex(inProcess->fingerprint) + "\n", first);
  EXPECT_EQ(platform::Keychain::standard().folder(), folder.path() / "Nolu" / "Keychain");
}

TEST_F(SelfSignedIdentityTest, SecondLoadReturnsTheStoredCertificateUnchanged) {
  auto first = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  auto items = snapshot();
  auto second = loadOrCreateHostIdentity(hostLabel, "Another Name", keychain());
  EXPECT_EQ(second->certificateDER, first->certificateDER);
  EXPECT_EQ(second->fingerprint, first->fingerprint);
  EXPECT_EQ(second->privateKey().publicKeyX963(), first->privateKey().publicKeyX963());
  EXPECT_EQ(snapshot(), items);
  // Another label is another identity.
  auto other = loadOrCreateHostIdentity(hostLabel + ".other", "Nolu Host", keychain());
  EXPECT_NE(other->fingerprint, first->fingerprint);
}

TEST_F(SelfSignedIdentityTest, KeyWithoutItsCertificateIsReplaced) {
  auto first = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  fs::remove(itemFile("certificate"));
  auto second = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  EXPECT_NE(second->fingerprint, first->fingerprint);
  EXPECT_NE(second->privateKey().publicKeyX963(), first->privateKey().publicKeyX963());
  EXPECT_EQ(snapshot().size(), 2u);  // the old key is gone
}

TEST_F(SelfSignedIdentityTest, ExpiredStoredCertificateIsReturnedUnchanged) {
  auto key = platform::P256PrivateKey::generate();
  auto longAgo = std::chrono::system_clock::from_time_t(946684800);  // 2000-01-01
  Bytes tbs = buildTBSCertificate(Bytes{0x01, 0x02}, longAgo, longAgo + std::chrono::hours(24), "Nolu Host",
                                  key.publicKeyX963());
  Bytes der = wrapCertificate(tbs, key.signDER(tbs));
  ASSERT_EQ(keychain().addKey(bytesOf(hostLabel), hostLabel, key), KeychainStatus::success);
  ASSERT_EQ(keychain().addCertificate(hostLabel, der), KeychainStatus::success);
  auto identity = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  EXPECT_EQ(identity->certificateDER, der);
  EXPECT_EQ(identity->privateKey().publicKeyX963(), key.publicKeyX963());
}

// A passing fault while reading the stored identity must not make a new one: every paired
// device pins the old fingerprint. Only a missing item leads to creation.
TEST_F(SelfSignedIdentityTest, UnreadableStoredIdentityThrowsAndIsKept) {
  struct Fault {
    const char* item;
    bool folderInPlace;  // else garbage content
    std::int32_t status;
  };
  const Fault faults[] = {{"key", true, KeychainStatus::ioFailure},
                          {"certificate", true, KeychainStatus::ioFailure},
                          {"key", false, KeychainStatus::invalidItem},
                          {"certificate", false, KeychainStatus::invalidItem}};
  auto original = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  for (const auto& fault : faults) {
    SCOPED_TRACE(std::string(fault.item) + (fault.folderInPlace ? " unreadable" : " garbage"));
    fs::path file = itemFile(fault.item);
    Bytes saved = snapshot()[file.filename().string()];
    fs::remove(file);
    if (fault.folderInPlace)
      fs::create_directory(file);
    else
      testing::writeFile(file, bytesOf("{not json"));
    auto damaged = snapshot();
    try {
      loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
      ADD_FAILURE() << "a damaged identity was replaced";
    } catch (const IdentityError& error) {
      EXPECT_EQ(error.kind(), IdentityError::Case::keychain);
      EXPECT_EQ(error.status(), fault.status);
    }
    EXPECT_EQ(snapshot(), damaged);  // nothing deleted, nothing written
    fs::remove_all(file);
    testing::writeFile(file, saved);
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain())->fingerprint, original->fingerprint);
  }
}

TEST_F(SelfSignedIdentityTest, ThrowAwayIdentityIsDeletedWhenReleased) {
  auto ephemeral = makeEphemeralIdentity("listener-host", keychain());
  auto another = makeEphemeralIdentity("listener-host", keychain());
  EXPECT_FALSE(ephemeral->isPersistent);
  std::string label(ephemeral->tag.begin(), ephemeral->tag.end());
  ASSERT_EQ(label.rfind("app.nolu.identity.", 0), 0u);
  auto id = UUID::parse(label.substr(18));
  ASSERT_TRUE(id);
  EXPECT_EQ(id->uuidString(), label.substr(18));
  EXPECT_NE(another->fingerprint, ephemeral->fingerprint);
  EXPECT_EQ(platform::X509Certificate::parse(ephemeral->certificateDER)->commonName(), "listener-host");
  EXPECT_EQ(snapshot().size(), 4u);
  EXPECT_TRUE(findIdentityCertificate(label, keychain()));

  ephemeral.reset();
  EXPECT_EQ(snapshot().size(), 2u);
  EXPECT_FALSE(findIdentityCertificate(label, keychain()));
  another.reset();
  EXPECT_TRUE(snapshot().empty());

  // The lasting identity stays when released.
  auto persistent = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  Bytes fingerprint = persistent->fingerprint;
  persistent.reset();
  EXPECT_EQ(snapshot().size(), 2u);
  EXPECT_EQ(loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain())->fingerprint, fingerprint);
}

TEST_F(SelfSignedIdentityTest, DeleteIdentityItemsRemovesKeyAndCertificate) {
  auto identity = loadOrCreateHostIdentity(hostLabel, "Nolu Host", keychain());
  auto keep = loadOrCreateHostIdentity("kept", "Nolu Host", keychain());
  deleteIdentityItems(hostLabel, keychain());
  EXPECT_EQ(snapshot().size(), 2u);
  EXPECT_FALSE(findIdentityKey(bytesOf(hostLabel), keychain()));
  EXPECT_TRUE(findIdentityKey(bytesOf("kept"), keychain()));
  deleteIdentityItems(hostLabel, keychain());  // nothing left to delete: no failure
}

TEST_F(SelfSignedIdentityTest, IdentityLoadsIntoTLSCredentials) {
  auto identity = makeEphemeralIdentity("Nolu Host", keychain());
  asio::io_context io;
  // The same hand-over as the host's listener: certificate and key as DER bytes.
  auto parameters = makeQUICParameters(identity, nullptr, QUICConfiguration{}, io.get_executor());
  ASSERT_TRUE(parameters.localIdentity);
  EXPECT_EQ(parameters.localIdentity->certificateDER, identity->certificateDER);
  std::string error;
  EXPECT_TRUE(platform::TLSCredentials::load(parameters.localIdentity, error)) << error;

  // The TLS library checks that key and certificate belong together.
  platform::QUICIdentity mismatched{identity->certificateDER, platform::P256PrivateKey::generate().pkcs8DER()};
  error.clear();
  EXPECT_FALSE(platform::TLSCredentials::load(mismatched, error));
  EXPECT_FALSE(error.empty());

  auto key = platform::P256PrivateKey::fromPKCS8(identity->privateKey().pkcs8DER());
  ASSERT_TRUE(key);
  EXPECT_EQ(key->publicKeyX963(), identity->privateKey().publicKeyX963());
}

// Encoding rules of the hand-built certificate.

TEST(CertificateEncoding, TimesAreGeneralizedTimeInUTC) {
  auto date = std::chrono::system_clock::from_time_t(1796733296) + std::chrono::milliseconds(789);
  EXPECT_EQ(formatCertificateTime(date), (Bytes{0x18, 0x0F} + bytesOf("20261208123456Z")));
  auto far = std::chrono::system_clock::from_time_t(4102444800);  // 2100-01-01
  EXPECT_EQ(formatCertificateTime(far), (Bytes{0x18, 0x0F} + bytesOf("21000101000000Z")));
}

TEST(CertificateEncoding, SerialFollowsTheIntegerRule) {
  auto key = platform::P256PrivateKey::generate();
  auto now = std::chrono::system_clock::now();
  struct Case {
    Bytes serial;
    Bytes integer;
  };
  Bytes sixteen(16, 0x11);
  Bytes leadingZeros = sixteen;
  leadingZeros[0] = 0x00, leadingZeros[1] = 0x00;
  Bytes topBit = sixteen;
  topBit[0] = 0x91;
  const Case cases[] = {
      {sixteen, Bytes{0x02, 0x10} + sixteen},
      {leadingZeros, Bytes{0x02, 0x0E} + Bytes(leadingZeros.begin() + 2, leadingZeros.end())},
      {topBit, Bytes{0x02, 0x11, 0x00} + topBit},
      {Bytes(16, 0), Bytes{0x02, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    Bytes tbs = buildTBSCertificate(c.serial, now, now, "Nolu Host", key.publicKeyX963());
    // TBS header (3 bytes: 30 81 len), version (5 bytes), then the serial.
    ASSERT_EQ(tbs[1], 0x81);
    EXPECT_EQ(Bytes(tbs.begin() + 8, tbs.begin() + 8 + static_cast<long>(c.integer.size())), c.integer)
        << toHex(c.serial);
  }
}

TEST(CertificateEncoding, CommonNamesAreUTF8AndLongOnesGetLongFormLengths) {
  auto key = platform::P256PrivateKey::generate();
  auto now = std::chrono::system_clock::now();
  const std::string names[] = {"Nolu Host", "Mäc de José ✓", std::string(128, 'n'), std::string(300, 'x')};
  testing::TempFolder folder;
  for (const auto& name : names) {
    Bytes tbs = buildTBSCertificate(Bytes{0x42}, now, now + std::chrono::hours(1), name, key.publicKeyX963());
    Bytes der = wrapCertificate(tbs, key.signDER(tbs));
    auto parsed = platform::X509Certificate::parse(der);
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->commonName(), name);
    EXPECT_EQ(parsed->publicKeyX963(), key.publicKeyX963());
    // The UTF8String holds the name's bytes as they are, with a long-form length from 128 on.
    Bytes lengthForm = name.size() < 128   ? Bytes{static_cast<std::uint8_t>(name.size())}
                       : name.size() < 256 ? Bytes{0x81, static_cast<std::uint8_t>(name.size())}
                                           : Bytes{0x82, static_cast<std::uint8_t>(name.size() >> 8),
                                                   static_cast<std::uint8_t>(name.size() & 0xff)};
    Bytes utf8 = Bytes{0x0C} + lengthForm + bytesOf(name);
    EXPECT_NE(std::search(tbs.begin(), tbs.end(), utf8.begin(), utf8.end()), tbs.end()) << name;
    fs::path file = folder.path() / "c.der";
    testing::writeFile(file, der);
    int status = 0;
    std::string info = testing::runCommand("certtool -i --inder --infile " + file.string() + " 2>&1", status);
    EXPECT_EQ(status, 0) << info;
  }
}

}  // namespace
}  // namespace brindlet

namespace brindlet {
namespace {

TEST_F(SelfSignedIdentityTest, ServesAQUICHandshakeWhoseCertificateMatchesThePin) {
  auto identity = makeEphemeralIdentity("Nolu Host", keychain());
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });

  auto listener =
      platform::QUICListener::make(io, makeQUICParameters(identity, nullptr, QUICConfiguration{}, io.get_executor()));
  ASSERT_FALSE(listener->listen({asio::ip::make_address("127.0.0.1"), 0}));
  std::mutex lock;
  std::shared_ptr<platform::QUICGroup> accepted;
  listener->setNewGroupHandler([&](std::shared_ptr<platform::QUICGroup> group) {
    group->start();
    std::lock_guard guard(lock);
    accepted = std::move(group);
  });

  auto box = std::make_shared<FingerprintBox>(ServerTrust::pinned(identity->fingerprint));
  auto client = platform::QUICGroup::connect(
      io, {asio::ip::make_address("127.0.0.1"), listener->port()},
      makeQUICParameters(std::optional<platform::QUICIdentity>(), box, QUICConfiguration{}, io.get_executor()));
  std::atomic<bool> ready{false};
  client->setStateHandler([&](platform::QUICGroupState state, std::optional<platform::QUICTransportError>) {
    if (state == platform::QUICGroupState::ready) ready = true;
  });
  client->start();
  auto server = [&] {
    std::lock_guard guard(lock);
    return accepted;
  };
  ASSERT_TRUE(testing::eventually([&] { return ready && server(); }));
  EXPECT_EQ(box->value(), identity->fingerprint);
  EXPECT_FALSE(box->mismatch());
  EXPECT_EQ(client->applicationProtocol(), quicApplicationProtocol);

  // Both ends derive the same exporter value that authentication binds.
  auto clientExporter = client->exportKeyingMaterial(tlsExporterLabel, 32);
  ASSERT_TRUE(clientExporter);
  EXPECT_EQ(server()->exportKeyingMaterial(tlsExporterLabel, 32), clientExporter);

  client->cancel();
  listener->cancel();
  work.reset();
  io.stop();
  runner.join();
}

}  // namespace
}  // namespace brindlet
