#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "kit/transport/QUICConfiguration.h"
#include "kit/transport/QUICError.h"
#include "platform/quic/TestCertificate.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;

TEST(QUICConfigurationTest, ParametersCarryTheAgreedValues) {
  asio::io_context io;
  QUICConfiguration configuration;
  configuration.idleTimeout = 30900ms;
  auto device = makeQUICParameters(std::nullopt, std::make_shared<FingerprintBox>(ServerTrust::unpinned()),
                                   configuration, io.get_executor());
  EXPECT_EQ(device.applicationProtocols, std::vector<std::string>{"nolu/1"});
  EXPECT_EQ(device.idleTimeoutMilliseconds, 30000u);
  EXPECT_EQ(device.initialMaxData, 16'777'216u);
  EXPECT_EQ(device.initialMaxStreamDataBidiLocal, 4'194'304u);
  EXPECT_EQ(device.initialMaxStreamDataBidiRemote, 4'194'304u);
  EXPECT_EQ(device.initialMaxStreamsBidi, 8u);
  EXPECT_FALSE(device.maxUDPPayloadSize);
  EXPECT_FALSE(device.localIdentity);
  EXPECT_TRUE(device.verify);
  EXPECT_TRUE(device.verifyExecutor);

  configuration.maxUDPPayloadSize = 1350;
  auto identity = testing::makeTestIdentity();
  auto host = makeQUICParameters(identity, nullptr, configuration, io.get_executor());
  EXPECT_EQ(host.maxUDPPayloadSize, std::optional<std::uint64_t>(1350));
  ASSERT_TRUE(host.localIdentity);
  EXPECT_EQ(host.localIdentity->certificateDER, identity.certificateDER);
  EXPECT_FALSE(host.verify);
}

TEST(QUICConfigurationTest, FingerprintBoxRecordsTheLeafAndChecksThePin) {
  const Bytes leaf{1, 2, 3}, other{4, 5, 6};
  const Bytes leafPrint = certificateFingerprint(leaf);
  struct Case {
    ServerTrust trust;
    std::vector<Bytes> chain;
    bool accepted;
    bool mismatch;
    std::optional<Bytes> recorded;
  };
  const Case cases[] = {
      {ServerTrust::unpinned(), {leaf, other}, true, false, leafPrint},
      {ServerTrust::pinned(leafPrint), {leaf}, true, false, leafPrint},
      {ServerTrust::pinned(certificateFingerprint(other)), {leaf}, false, true, leafPrint},
      {ServerTrust::unpinned(), {}, false, false, std::nullopt},
      {ServerTrust::pinned(leafPrint), {}, false, false, std::nullopt},
  };
  for (const Case& c : cases) {
    FingerprintBox box(c.trust);
    std::optional<bool> verdict;
    box.verify(platform::QUICPeerTrust{c.chain}, [&](bool accept) { verdict = accept; });
    EXPECT_EQ(verdict, std::optional<bool>(c.accepted));
    EXPECT_EQ(box.mismatch(), c.mismatch);
    EXPECT_EQ(box.value(), c.recorded);
  }
}

TEST(QUICConfigurationTest, ErrorsCompareByCaseAndReason) {
  EXPECT_EQ(QUICError::pinMismatch().text(), "This Mac\u2019s identity changed. Re-pair?");
  EXPECT_EQ(QUICError::failed("handshake timed out").text(), "handshake timed out");
  EXPECT_EQ(QUICError::failed("a"), QUICError::failed("a"));
  EXPECT_FALSE(QUICError::failed("a") == QUICError::failed("b"));
  EXPECT_FALSE(QUICError::failed("") == QUICError::pinMismatch());
  EXPECT_EQ(QUICError::pinMismatch(), QUICError::pinMismatch());
}

}  // namespace
}  // namespace brindlet
