// Random and mutated inputs for the decoders that read what the network or the user hands
// the host: relay frames, invite codes and links, and the coordinator's replies. The corpus
// is bounded and seeded, so a failure repeats; run under the sanitizer build it also checks
// that no input reads out of bounds.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/InviteCode.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelayWire.h"

namespace brindlet {
namespace {

constexpr int kRounds = 20000;

Bytes randomBytes(std::mt19937& random, std::size_t maxSize) {
  std::uniform_int_distribution<std::size_t> size(0, maxSize);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(size(random));
  for (auto& b : out) b = static_cast<std::uint8_t>(byte(random));
  return out;
}

void mutate(std::mt19937& random, Bytes& bytes) {
  std::uniform_int_distribution<int> op(0, 3), byte(0, 255);
  int changes = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < changes; ++i) {
    switch (op(random)) {
      case 0:
        if (!bytes.empty()) bytes[random() % bytes.size()] = static_cast<std::uint8_t>(byte(random));
        break;
      case 1:
        if (!bytes.empty()) bytes.erase(bytes.begin() + static_cast<long>(random() % bytes.size()));
        break;
      case 2:
        bytes.insert(bytes.begin() + static_cast<long>(random() % (bytes.size() + 1)),
                     static_cast<std::uint8_t>(byte(random)));
        break;
      default:
        bytes.resize(random() % (bytes.size() + 1));
        break;
    }
  }
}

TEST(RelayFuzzTest, FrameDecoderEitherRefusesOrRoundTrips) {
  std::mt19937 random(20261210);
  const Bytes seed = RelayWire::encodeFrame({RelayPacketType::registerRequest, 7, 9, Bytes(200, 0x42)});
  int decoded = 0;
  for (int i = 0; i < kRounds; ++i) {
    Bytes input = (i % 2) ? randomBytes(random, 1600) : seed;
    if (i % 2 == 0) mutate(random, input);
    try {
      RelayFrame frame = RelayWire::decodeFrame(input);
      ++decoded;
      ASSERT_LE(frame.payload.size(), RelayWire::maxPayloadSize);
      ASSERT_EQ(RelayWire::encodeFrame(frame), input);
      (void)frame.errorCode();
      (void)RelayJoinGrant::parse(frame.payload);
    } catch (const RelayFrameError&) {
    }
  }
  EXPECT_GT(decoded, 0);
}

TEST(RelayFuzzTest, InviteCodesAreAlwaysTenAlphabetCharacters) {
  std::mt19937 random(7);
  const std::string pieces[] = {"a", "B", "0", "o", "I",    "l",    "-", " ", "\n", "\u00C9", "\u0301",
                                "u", "%", "=", "&", "\xFF", "\xC3", "Z", "9", "\t", "code",   "nolu://invite?"};
  for (int i = 0; i < kRounds; ++i) {
    std::string text;
    int count = static_cast<int>(random() % 24);
    for (int j = 0; j < count; ++j) text += pieces[random() % std::size(pieces)];
    if (auto code = InviteCode::normalize(text)) {
      ASSERT_EQ(code->size(), 10u) << text;
      for (char c : *code) ASSERT_NE(InviteCode::alphabet.find(c), std::string_view::npos) << text;
      ASSERT_EQ(InviteCode::normalize(*code), code);
    }
    if (auto code = parseInviteURL(text)) {
      ASSERT_EQ(code->size(), 10u) << text;
    }
  }
}

TEST(RelayFuzzTest, CoordinatorRepliesDecodeOrFailAsBadResponse) {
  std::mt19937 random(99);
  const std::string seeds[] = {
      R"({"token":"AQID","relays":[{"region":"sin","host":"127.0.0.1","port":4000}],"expires_at":1767225600})",
      R"({"account":"Family"})",
      R"({"error":"revoked"})",
  };
  int admissions = 0;
  for (int i = 0; i < kRounds; ++i) {
    const std::string& seed = seeds[random() % std::size(seeds)];
    Bytes input(seed.begin(), seed.end());
    mutate(random, input);
    try {
      RelayAdmission admission = decodeTokenReply(input);
      ++admissions;
      ASSERT_FALSE(admission.token.empty());
    } catch (const CoordinatorError& error) {
      ASSERT_EQ(error.kind(), CoordinatorError::Case::badResponse);
    }
    try {
      (void)decodeEnrollReply(input);
    } catch (const CoordinatorError& error) {
      ASSERT_EQ(error.kind(), CoordinatorError::Case::badResponse);
    }
  }
  EXPECT_GT(admissions, 0);
}

}  // namespace
}  // namespace brindlet
