#include <gtest/gtest.h>

#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "kit/relay/RelayWire.h"
#include "platform/crypto/Digest.h"

namespace brindlet {
namespace {

Bytes filled(std::size_t size, std::uint8_t value) { return Bytes(size, value); }

TEST(RelayFrameTest, EncodesHeaderBigEndianAndDecodesBack) {
  RelayFrame frame{RelayPacketType::data, 258, 0x01020304, {0xAA, 0xBB}};
  Bytes bytes = RelayWire::encodeFrame(frame);
  EXPECT_EQ(bytes, (Bytes{3, 0, 0, 1, 2, 1, 2, 3, 4, 0xAA, 0xBB}));
  EXPECT_EQ(RelayWire::decodeFrame(bytes), frame);
  auto header = RelayWire::encodeHeader(RelayPacketType::deny, 0xF1F2F3F4, 0x80000001);
  EXPECT_EQ(Bytes(header.begin(), header.end()), (Bytes{16, 0xF1, 0xF2, 0xF3, 0xF4, 0x80, 0, 0, 1}));
}

TEST(RelayFrameTest, PayloadLimitIsExactlyFifteenHundredBytesOfFrame) {
  RelayFrame largest{RelayPacketType::data, 1, 2, filled(1491, 7)};
  EXPECT_EQ(RelayWire::encodeFrame(largest).size(), 1500u);
  RelayFrame over{RelayPacketType::data, 1, 2, filled(1492, 7)};
  try {
    RelayWire::encodeFrame(over);
    FAIL() << "an oversized payload was encoded";
  } catch (const RelayFrameError& error) {
    EXPECT_EQ(error.kind(), RelayFrameError::Case::tooLarge);
  }
}

TEST(RelayFrameTest, DecodeChecksInOrder) {
  struct Case {
    Bytes datagram;
    RelayFrameError::Case expected;
    std::uint8_t type;
  };
  Bytes oversizedBadType = filled(1501, 0);
  const Case cases[] = {
      {filled(8, 3), RelayFrameError::Case::truncated, 0},
      {{}, RelayFrameError::Case::truncated, 0},
      {oversizedBadType, RelayFrameError::Case::tooLarge, 0},
      {Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0}, RelayFrameError::Case::unknownType, 0},
      {Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}, RelayFrameError::Case::unknownType, 1},
      {Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0}, RelayFrameError::Case::unknownType, 2},
      {Bytes{17, 0, 0, 0, 0, 0, 0, 0, 0}, RelayFrameError::Case::unknownType, 17},
  };
  for (const auto& c : cases) {
    try {
      RelayWire::decodeFrame(c.datagram);
      ADD_FAILURE() << "decoded " << c.datagram.size() << " bytes";
    } catch (const RelayFrameError& error) {
      EXPECT_EQ(error.kind(), c.expected) << c.datagram.size();
      if (c.expected == RelayFrameError::Case::unknownType) {
        EXPECT_EQ(error.type(), c.type);
      }
    }
  }
}

TEST(RelayFrameTest, EveryPacketTypeRoundTripsAndNineBytesGiveAnEmptyPayload) {
  for (int raw = 3; raw <= 16; ++raw) {
    Bytes header{static_cast<std::uint8_t>(raw), 0, 0, 0, 9, 0, 0, 0, 10};
    RelayFrame frame = RelayWire::decodeFrame(header);
    EXPECT_EQ(static_cast<int>(frame.type), raw);
    EXPECT_EQ(frame.session, 9u);
    EXPECT_EQ(frame.peer, 10u);
    EXPECT_TRUE(frame.payload.empty());
    EXPECT_EQ(RelayWire::encodeFrame(frame), header);
  }
  EXPECT_FALSE(relayPacketType(2));
  EXPECT_FALSE(relayPacketType(17));
}

TEST(RelayFrameTest, DecodingASliceGivesAPayloadOfItsOwn) {
  Bytes buffer{0xFF, 0xFF, 6, 0, 0, 0, 1, 0, 0, 0, 0, 10, 0xEE};
  RelayFrame frame = RelayWire::decodeFrame(ByteView(buffer).subspan(2, 10));
  EXPECT_EQ(frame.payload, Bytes{10});
  EXPECT_EQ(frame.payload.size(), 1u);
}

TEST(RelayFrameTest, ErrorCodes) {
  for (int raw = 1; raw <= 11; ++raw) {
    RelayFrame frame{RelayPacketType::error, 1, 0, {static_cast<std::uint8_t>(raw), 99}};
    ASSERT_TRUE(frame.errorCode()) << raw;
    EXPECT_EQ(static_cast<int>(*frame.errorCode()), raw);
  }
  EXPECT_EQ(RelayFrame({RelayPacketType::error, 1, 0, {10}}).errorCode(), RelayErrorCode::denied);
  EXPECT_EQ(RelayFrame({RelayPacketType::error, 1, 0, {11}}).errorCode(), RelayErrorCode::addressNotOnRecord);
  EXPECT_FALSE(RelayFrame({RelayPacketType::error, 1, 0, {}}).errorCode());
  EXPECT_FALSE(RelayFrame({RelayPacketType::error, 1, 0, {0}}).errorCode());
  EXPECT_FALSE(RelayFrame({RelayPacketType::error, 1, 0, {12}}).errorCode());
  EXPECT_FALSE(RelayFrame({RelayPacketType::close, 1, 0, {4}}).errorCode());
}

TEST(RelayFrameTest, HandshakePayloadLayouts) {
  Bytes key = filled(65, 4), cookie = filled(16, 0xC0), token = {1, 2, 3}, signature = filled(64, 0x5A);
  Bytes reg = RelayWire::registerPayload(key, cookie, token, signature);
  ASSERT_EQ(reg.size(), 65u + 16 + 2 + 3 + 64);
  EXPECT_EQ(reg[81], 0);
  EXPECT_EQ(reg[82], 3);
  EXPECT_EQ(Bytes(reg.begin() + 83, reg.begin() + 86), token);
  EXPECT_EQ(RelayWire::challengeRequestPayload(RelayPurpose::rebind),
            (Bytes{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes grant = filled(170, 1);
  Bytes join = RelayWire::joinPayload(cookie, grant, signature);
  EXPECT_EQ(join.size(), 16u + 170 + 64);
  EXPECT_EQ(RelayWire::rebindPayload(cookie, signature).size(), 80u);
}

TEST(RelaySignedMessageTest, LabelsEndWithOneZeroByte) {
  struct Case {
    Bytes message;
    std::string label;
    std::size_t fields;
  };
  Bytes cookie = filled(16, 1), key = filled(65, 4), grant = filled(170, 2);
  const Case cases[] = {
      {RelayWire::registerMessage(cookie, Bytes{9, 9}, key), "brindlet-relay-register-v2", 16 + 2 + 65},
      {RelayWire::joinMessage(cookie, grant), "brindlet-relay-join-v2", 16 + 170},
      {RelayWire::rebindMessage(cookie, 1, 2), "brindlet-relay-rebind-v2", 16 + 8},
      {RelayWire::grantMessage(filled(106, 3)), "brindlet-relay-grant-v1", 106},
      {RelayWire::coordinatorMessage(5, key), "brindlet-coordinator-v3", 8 + 65},
      {RelayWire::enrollMessage(5, key, "ABCDEFGHJK"), "brindlet-enroll-v1", 8 + 65 + 10},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.message.size(), c.label.size() + 1 + c.fields) << c.label;
    EXPECT_EQ(std::string(c.message.begin(), c.message.begin() + c.label.size()), c.label);
    EXPECT_EQ(c.message[c.label.size()], 0);
    EXPECT_NE(c.message[c.label.size() - 1], 0);
  }
  EXPECT_EQ(std::string("brindlet-relay-register-v2").size() + 1, 27u);
  Bytes rebind = RelayWire::rebindMessage(cookie, 1, 2);
  EXPECT_EQ(Bytes(rebind.end() - 8, rebind.end()), (Bytes{0, 0, 0, 1, 0, 0, 0, 2}));
  Bytes coordinator = RelayWire::coordinatorMessage(0x0102030405060708ULL, key);
  EXPECT_EQ(Bytes(coordinator.begin() + 24, coordinator.begin() + 32), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

class RelayGrantTest : public ::testing::Test {
 protected:
  P256RelaySigner host{platform::P256PrivateKey::generate()};
  P256RelaySigner device{platform::P256PrivateKey::generate()};
  std::chrono::system_clock::time_point now{std::chrono::seconds(1'767'225'600)};
};

TEST_F(RelayGrantTest, IssuedGrantHasTheFixedLayoutAndVerifies) {
  Bytes grant = issueRelayJoinGrant(device.publicKey(), host, now, relayGrantValidity);
  ASSERT_EQ(grant.size(), 170u);
  EXPECT_EQ(grant[0], 1);
  auto parsed = RelayJoinGrant::parse(grant);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->hkid, platform::sha256(host.publicKey()));
  EXPECT_EQ(parsed->clientPublicKey, device.publicKey());
  EXPECT_EQ(parsed->expiresAt, 1'767'225'600u + 2'592'000u);
  EXPECT_TRUE(RelayJoinGrant::verify(grant, host.publicKey()));
  EXPECT_FALSE(RelayJoinGrant::verify(grant, device.publicKey()));  // hkid names another key
}

TEST_F(RelayGrantTest, ParseRefusesWrongLengthsAndVersions) {
  Bytes grant = issueRelayJoinGrant(device.publicKey(), host, now, relayGrantValidity);
  Bytes shorter(grant.begin(), grant.end() - 1), longer = grant;
  longer.push_back(0);
  Bytes version2 = grant;
  version2[0] = 2;
  EXPECT_FALSE(RelayJoinGrant::parse(shorter));
  EXPECT_FALSE(RelayJoinGrant::parse(longer));
  EXPECT_FALSE(RelayJoinGrant::parse(version2));
  EXPECT_FALSE(RelayJoinGrant::verify(version2, host.publicKey()));
}

TEST_F(RelayGrantTest, ExpiredGrantStillVerifiesAndExpiryBefore1970IsZero) {
  Bytes expired = issueRelayJoinGrant(device.publicKey(), host, now, -std::chrono::seconds(1'800'000'000));
  EXPECT_EQ(RelayJoinGrant::parse(expired)->expiresAt, 0u);
  EXPECT_TRUE(RelayJoinGrant::verify(expired, host.publicKey()));
}

TEST_F(RelayGrantTest, TamperedGrantOrMatchingHkidWithForeignSignatureFails) {
  Bytes grant = issueRelayJoinGrant(device.publicKey(), host, now, relayGrantValidity);
  Bytes tampered = grant;
  tampered[100] ^= 1;  // expiry
  EXPECT_FALSE(RelayJoinGrant::verify(tampered, host.publicKey()));
  // Right hkid, signed by another key.
  Bytes forged(grant.begin(), grant.begin() + 106);
  Bytes signature = device.sign(RelayWire::grantMessage(forged));
  forged.insert(forged.end(), signature.begin(), signature.end());
  EXPECT_FALSE(RelayJoinGrant::verify(forged, host.publicKey()));
}

TEST_F(RelayGrantTest, SignatureVerificationRefusesMalformedInputs) {
  Bytes message = bytesOf("hello");
  Bytes signature = host.sign(message);
  ASSERT_EQ(signature.size(), 64u);
  EXPECT_TRUE(verifyP256Signature(signature, message, host.publicKey()));
  EXPECT_FALSE(verifyP256Signature(Bytes(signature.begin(), signature.end() - 1), message, host.publicKey()));
  Bytes notX963 = host.publicKey();
  notX963[0] = 0x03;
  EXPECT_FALSE(verifyP256Signature(signature, message, notX963));
  EXPECT_FALSE(verifyP256Signature(signature, bytesOf("hellp"), host.publicKey()));
  EXPECT_FALSE(verifyP256Signature(filled(64, 0), message, host.publicKey()));
}

TEST_F(RelayGrantTest, HostSignerKeepsTheKeysPublicHalf) {
  auto key = platform::P256PrivateKey::generate();
  SecKeyRelaySigner signer(key);
  EXPECT_EQ(signer.publicKey(), key.publicKeyX963());
  EXPECT_EQ(signer.publicKey().size(), 65u);
  Bytes message = bytesOf("register");
  EXPECT_TRUE(verifyP256Signature(signer.sign(message), message, signer.publicKey()));
}

}  // namespace
}  // namespace brindlet
