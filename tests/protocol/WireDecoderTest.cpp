#include <gtest/gtest.h>

#include <random>
#include <variant>

#include "SampleMessages.h"
#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"

namespace brindlet {
namespace {

using testing::sampleAudioPacket;
using testing::sampleMessages;
using testing::sampleVideoFrame;

Bytes header(std::uint32_t length) {
  Bytes b;
  WireCodec::writeU32(length, b);
  return b;
}

template <class F>
std::optional<WireError> errorFrom(F&& call) {
  try {
    call();
  } catch (const WireError& e) {
    return e;
  }
  return std::nullopt;
}

TEST(WireDecoder, WaitsForTheWholeFrame) {
  const Bytes frame = WireCodec::encode(msg::Ping{7});
  for (std::size_t split = 0; split < frame.size(); ++split) {
    WireDecoder decoder;
    decoder.append(ByteView(frame).first(split));
    EXPECT_FALSE(decoder.nextFrame()) << "split " << split;
    EXPECT_EQ(decoder.bufferedByteCount(), split);
    decoder.append(ByteView(frame).subspan(split));
    EXPECT_EQ(decoder.nextFrame(), Bytes(frame.begin() + 4, frame.end()));
    EXPECT_FALSE(decoder.nextFrame());
  }
}

TEST(WireDecoder, StreamFedByteByByteYieldsEveryMessageInOrder) {
  const std::vector<Message> messages = sampleMessages();
  Bytes stream;
  Bytes appended = {0xEE};  // frames appended behind bytes already there
  for (const Message& m : messages) {
    const Bytes frame = WireCodec::encode(m);
    stream.insert(stream.end(), frame.begin(), frame.end());
    WireCodec::encode(m, appended);
  }
  EXPECT_EQ(ByteView(appended).subspan(1).size(), stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), appended.begin() + 1));
  WireDecoder decoder;
  std::vector<Message> received;
  for (std::uint8_t byte : stream) {
    decoder.append(ByteView(&byte, 1));
    while (auto m = decoder.nextMessage()) received.push_back(*m);
  }
  EXPECT_EQ(received, messages);
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  EXPECT_EQ(decoder.buffer().size(), 0u);
}

TEST(WireDecoder, MixedMediaStreamsDecodeInOrder) {
  WireDecoder video;
  WireDecoder audio;
  for (int i = 0; i < 3; ++i) {
    video.append(WireCodec::encodeVideoFrame(sampleVideoFrame()));
    audio.append(WireCodec::encodeAudioPacket(sampleAudioPacket()));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(video.nextVideoFrame(), sampleVideoFrame());
    EXPECT_EQ(audio.nextAudioPacket(), sampleAudioPacket());
  }
  EXPECT_FALSE(video.nextVideoFrame());
  EXPECT_FALSE(audio.nextAudioPacket());
}

TEST(WireDecoder, FrameLimitIsInclusive) {
  WireDecoder atLimit;
  atLimit.append(header(WireCodec::maxFrameSize));
  EXPECT_FALSE(atLimit.nextFrame());
  EXPECT_FALSE(atLimit.poisoned());
  EXPECT_EQ(atLimit.bufferedByteCount(), 4u);
}

TEST(WireDecoder, OversizedHeaderPoisonsEveryLaterRead) {
  WireDecoder decoder;
  Bytes bytes = WireCodec::encode(msg::Ping{1});
  const Bytes oversized = header(WireCodec::maxFrameSize + 1);
  bytes.insert(bytes.end(), oversized.begin(), oversized.end());
  decoder.append(bytes);
  EXPECT_EQ(decoder.nextMessage(), Message(msg::Ping{1}));
  const WireError expected = WireError::frameTooLarge(67108865);
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), expected);
  EXPECT_EQ(decoder.poisoned(), expected);

  // Whatever arrives later, every reader throws the same error and nothing is kept.
  decoder.append(WireCodec::encode(msg::Ping{2}));
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  EXPECT_EQ(errorFrom([&] { decoder.nextFrame(); }), expected);
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), expected);
  EXPECT_EQ(errorFrom([&] { decoder.nextVideoFrame(); }), expected);
  EXPECT_EQ(errorFrom([&] { decoder.nextAudioPacket(); }), expected);

  WireDecoder largest;
  largest.append(header(0xFFFFFFFF));
  EXPECT_EQ(errorFrom([&] { largest.nextVideoFrame(); }), WireError::frameTooLarge(4294967295));
}

TEST(WireDecoder, EmptyFrameIsTruncatedAndConsumed) {
  WireDecoder decoder;
  decoder.append(header(0));
  decoder.append(WireCodec::encode(msg::Pong{3}));
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), WireError::truncated());
  EXPECT_FALSE(decoder.poisoned());
  EXPECT_EQ(decoder.nextMessage(), Message(msg::Pong{3}));
}

TEST(WireDecoder, BodyErrorsDropOnlyTheirFrame) {
  WireDecoder decoder;
  decoder.append(WireCodec::frame(Bytes{0x24}));
  decoder.append(WireCodec::frame(Bytes{0x07, 0x02}));
  decoder.append(WireCodec::frame(Bytes{0x0D, 0x00}));
  decoder.append(WireCodec::encode(msg::SetThumbnails{true}));
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), WireError::unknownType(36));
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), WireError::invalidValue("bool 2"));
  EXPECT_EQ(errorFrom([&] { decoder.nextMessage(); }), WireError::truncated());
  EXPECT_EQ(decoder.nextMessage(), Message(msg::SetThumbnails{true}));
  EXPECT_FALSE(decoder.poisoned());
}

TEST(WireDecoder, NextFrameGivesThePayload) {
  WireDecoder decoder;
  decoder.append(WireCodec::frame(Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(decoder.nextFrame(), (Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(toHex(WireCodec::frame(Bytes{0xAA})), "00000001aa");
}

// Consumed bytes stay in the buffer until they are more than 64 KiB and more than half of it,
// or until everything has been read; small frames are never shifted one by one.
TEST(WireDecoder, CompactsOnlyPastHalfAndSixtyFourKiB) {
  const Bytes frame = WireCodec::encode(msg::ClipboardText{std::string(997, 'c')});
  ASSERT_EQ(frame.size(), 1004u);
  WireDecoder decoder;
  for (int i = 0; i < 100; ++i) decoder.append(frame);
  decoder.append(ByteView(frame).first(3));  // the start of one more frame
  const std::size_t total = 100 * 1004 + 3;
  for (std::size_t k = 1; k <= 100; ++k) {
    ASSERT_TRUE(decoder.nextMessage());
    const std::size_t consumed = k * 1004;
    if (consumed <= 65536) {
      EXPECT_EQ(decoder.offset(), consumed) << k;
      EXPECT_EQ(decoder.buffer().size(), total) << k;
    } else if (k == 66) {
      // 66264 consumed bytes: more than 64 KiB and more than half of 100403.
      EXPECT_EQ(decoder.offset(), 0u);
      EXPECT_EQ(decoder.buffer().size(), total - consumed);
    }
    EXPECT_EQ(decoder.bufferedByteCount(), total - consumed) << k;
  }
  EXPECT_EQ(decoder.bufferedByteCount(), 3u);
  decoder.append(ByteView(frame).subspan(3));
  EXPECT_TRUE(decoder.nextMessage());
  EXPECT_EQ(decoder.buffer().size(), 0u);
  EXPECT_EQ(decoder.offset(), 0u);
}

// Hostile input: random bytes, mutated and cut frames, and oversized headers, in random
// chunks. The decoder may only return values or throw WireError, and never holds more than
// one frame of the largest size, a header and the chunk just appended.
TEST(WireDecoder, SurvivesRandomAndDamagedInput) {
  std::mt19937 random(0xB41D);
  std::vector<Bytes> valid;
  for (const Message& m : sampleMessages()) valid.push_back(WireCodec::encode(m));
  valid.push_back(WireCodec::encodeVideoFrame(sampleVideoFrame()));
  valid.push_back(WireCodec::encodeAudioPacket(sampleAudioPacket()));

  auto damaged = [&]() {
    Bytes b = valid[random() % valid.size()];
    switch (random() % 4) {
      case 0:  // flip a few bytes, sometimes in the header
        for (int i = 0; i < 3; ++i) b[random() % b.size()] = static_cast<std::uint8_t>(random());
        break;
      case 1:  // cut the payload short but keep the declared length consistent
        b = WireCodec::frame(
            Bytes(b.begin() + 4, b.begin() + 4 + static_cast<std::ptrdiff_t>(random() % (b.size() - 4))));
        break;
      case 2: {  // random payload of random size
        Bytes payload(random() % 64);
        for (auto& x : payload) x = static_cast<std::uint8_t>(random());
        if (!payload.empty() && random() % 2) payload[0] = static_cast<std::uint8_t>(random() % 0x40);
        b = WireCodec::frame(payload);
        break;
      }
      default:  // plain random bytes
        b.resize(random() % 32);
        for (auto& x : b) x = static_cast<std::uint8_t>(random());
    }
    return b;
  };

  int poisonedStreams = 0;
  int decoded = 0;
  for (int stream = 0; stream < 200; ++stream) {
    WireDecoder decoder;
    Bytes input;
    for (int i = 0; i < 20; ++i) {
      const Bytes piece = damaged();
      input.insert(input.end(), piece.begin(), piece.end());
    }
    std::size_t at = 0;
    while (at < input.size()) {
      const std::size_t chunk = std::min<std::size_t>(1 + random() % 300, input.size() - at);
      decoder.append(ByteView(input).subspan(at, chunk));
      at += chunk;
      ASSERT_LE(decoder.bufferedByteCount(), WireCodec::maxFrameSize + 4 + chunk);
      for (int reads = 0; reads < 50; ++reads) {
        try {
          bool got = false;
          switch (random() % 4) {
            case 0:
              got = decoder.nextMessage().has_value();
              break;
            case 1:
              got = decoder.nextVideoFrame().has_value();
              break;
            case 2:
              got = decoder.nextAudioPacket().has_value();
              break;
            default:
              got = decoder.nextFrame().has_value();
              break;
          }
          if (!got) break;
          ++decoded;
        } catch (const WireError& e) {
          if (e.errorCase() == WireError::Case::frameTooLarge) {
            EXPECT_EQ(decoder.poisoned(), e);
            break;
          }
        }
      }
    }
    if (decoder.poisoned()) {
      ++poisonedStreams;
      EXPECT_EQ(decoder.bufferedByteCount(), 0u);
    }
  }
  // The input is varied enough to reach both outcomes.
  EXPECT_GT(poisonedStreams, 0);
  EXPECT_GT(decoded, 0);
}

// A frame of the largest size arriving in pieces: the decoder holds it and nothing more.
TEST(WireDecoder, HoldsAtMostOneLargestFrame) {
  WireDecoder decoder;
  decoder.append(header(WireCodec::maxFrameSize));
  const Bytes chunk(1 << 20, 0x0D);  // every payload byte 0x0D: a ping with extra bytes
  std::size_t sent = 0;
  while (sent < WireCodec::maxFrameSize) {
    EXPECT_FALSE(decoder.nextMessage());
    decoder.append(chunk);
    sent += chunk.size();
    ASSERT_LE(decoder.bufferedByteCount(), WireCodec::maxFrameSize + 4);
  }
  EXPECT_EQ(decoder.nextMessage(), Message(msg::Ping{0x0D0D0D0D0D0D0D0Dull}));
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  EXPECT_LE(decoder.buffer().capacity(), 8u * 1024 * 1024) << "a large buffer is released once read";
}

std::uint32_t declaredLength(const Bytes& frame, std::size_t at) {
  return (std::uint32_t{frame[at]} << 24) | (std::uint32_t{frame[at + 1]} << 16) | (std::uint32_t{frame[at + 2]} << 8) |
         frame[at + 3];
}

// What a video reader gets from `stream` cut into pieces at `cuts`: each frame, or the error
// that dropped one, asking after every piece as a stream's reader does.
using VideoOutcome = std::variant<VideoFrame, WireError>;
std::vector<VideoOutcome> readVideo(const Bytes& stream, std::vector<std::size_t> cuts) {
  cuts.push_back(stream.size());
  WireDecoder decoder;
  std::vector<VideoOutcome> outcomes;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    decoder.append(ByteView(stream).subspan(at, cut - at));
    at = cut;
    for (;;) {
      try {
        auto frame = decoder.nextVideoFrame();
        if (!frame) break;
        outcomes.emplace_back(std::move(*frame));
      } catch (const WireError& e) {
        outcomes.emplace_back(e);
      }
    }
  }
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  return outcomes;
}

// A large video frame goes straight into its payload once its fields are here. Whatever the
// pieces, frames come out as from the whole stream at once: whole, in order, and with the
// same error for a damaged one, which drops only itself.
TEST(WireDecoder, LargeVideoFramesReadInPiecesAsWhole) {
  auto withPayload = [](std::size_t size, std::uint8_t seed) {
    VideoFrame frame = sampleVideoFrame();
    frame.payload.resize(size);
    for (std::size_t i = 0; i < size; ++i) frame.payload[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return frame;
  };
  const std::vector<VideoFrame> frames = {withPayload(300'000, 1), sampleVideoFrame(), withPayload(70'000, 2)};
  Bytes valid;
  for (const auto& frame : frames) {
    const Bytes bytes = WireCodec::encodeVideoFrame(frame);
    valid.insert(valid.end(), bytes.begin(), bytes.end());
  }
  const std::size_t head = 4 + 1 + 4 + 8 + 8 + 1 + 1 + 4 + 4 + 16 + 1 + (4 + 24) + (4 + 12) + (4 + 8);
  ASSERT_EQ(declaredLength(valid, head), 300'000u) << "the head's size";
  // Damaged copies: a profile the reader refuses; a payload that ends before its frame does.
  Bytes badProfile = valid;
  badProfile[26] = 9;
  Bytes shortPayload = valid;
  shortPayload[head + 3] -= 10;

  std::mt19937 random(0xF4A3);
  std::vector<std::size_t> randomCuts;
  for (std::size_t at = 0;;) {
    at += 1 + random() % 90'000;
    if (at >= valid.size()) break;
    randomCuts.push_back(at);
  }
  std::vector<std::size_t> byteByByte;  // through the first head, then in 64 KiB pieces
  for (std::size_t at = 1; at < head + 8; ++at) byteByByte.push_back(at);
  for (std::size_t at = head + 8 + 65536; at < valid.size(); at += 65536) byteByByte.push_back(at);
  const std::vector<std::pair<const char*, std::vector<std::size_t>>> cuttings = {
      {"after the length header", {4}},
      {"after the head", {head + 4}},
      {"one byte into the payload", {head + 5}},
      {"mid-payload, then at the next frame's start", {100'000, valid.size() - 70'000 - head - 4}},
      {"byte by byte, then 64 KiB", byteByByte},
      {"random", randomCuts},
  };

  {
    // Once the fields before the payload are here, what comes goes into the frame itself.
    WireDecoder decoder;
    decoder.append(ByteView(valid).first(100'000));
    EXPECT_FALSE(decoder.nextVideoFrame());
    EXPECT_EQ(decoder.buffer().size(), 0u);
    EXPECT_EQ(decoder.bufferedByteCount(), 100'000u);
  }
  const std::vector<VideoOutcome> expected = {frames[0], frames[1], frames[2]};
  ASSERT_EQ(readVideo(valid, {}), expected);
  for (const Bytes* stream : {&valid, &badProfile, &shortPayload}) {
    const std::vector<VideoOutcome> whole = readVideo(*stream, {});
    ASSERT_EQ(whole.size(), 3u);
    for (const auto& [name, cuts] : cuttings) EXPECT_EQ(readVideo(*stream, cuts), whole) << name;
  }
  EXPECT_EQ(std::get<WireError>(readVideo(badProfile, {})[0]), WireError::invalidValue("profile 9"));
  EXPECT_EQ(std::get<VideoFrame>(readVideo(shortPayload, {})[1]), frames[1]);
}

// The writers build no frame the readers refuse: a payload of exactly the largest size goes
// out, one byte more fails with the readers' own error. One blob of about 64 MiB is resized
// for every case; only the accepted frame is built in full, in one buffer made once.
TEST(FrameLimit, WritersSendTheLargestFrameAndRefuseOneByteMore) {
  constexpr std::uint64_t limit = WireCodec::maxFrameSize;
  const WireError oneOver = WireError::frameTooLarge(static_cast<std::int64_t>(limit) + 1);
  Bytes big;
  big.reserve(limit + 1);

  // A file chunk's payload is its type byte, u32, u16, u64 and the blob with its u32 length.
  big.resize(limit - 19);
  Message chunk = msg::FileChunk{1, 0, 0, std::move(big)};
  Bytes& data = chunk.as<msg::FileChunk>()->data;
  Bytes into = {0xEE};  // a frame already there stays as it is
  into.reserve(1 + 4 + limit + 1);
  WireCodec::encode(chunk, into);
  ASSERT_EQ(into.size(), 1 + 4 + limit);
  EXPECT_EQ(declaredLength(into, 1), limit);
  WireDecoder decoder;
  decoder.append(ByteView(into).subspan(1, 5));
  EXPECT_FALSE(decoder.nextFrame());  // the reader waits for the rest rather than failing
  EXPECT_FALSE(decoder.poisoned());

  into.resize(1);
  data.push_back(0);
  EXPECT_EQ(errorFrom([&] { WireCodec::encode(chunk, into); }), oneOver);
  EXPECT_EQ(into, Bytes{0xEE});
  EXPECT_EQ(errorFrom([&] { WireCodec::encode(chunk); }), oneOver);

  // A video frame's payload: 48 bytes of fields, then the blob with its u32 length.
  VideoFrame frame;
  frame.payload = std::move(data);
  frame.payload.resize(limit - 52 + 1);
  EXPECT_EQ(errorFrom([&] { WireCodec::encodeVideoFrame(frame); }), oneOver);
  frame.parameterSets = {Bytes{1}};  // a parameter set counts as well: 4 + 1 bytes more
  frame.payload.resize(limit - 52 - 4);
  EXPECT_EQ(errorFrom([&] { WireCodec::encodeVideoFrame(frame); }), oneOver);

  // An audio packet's payload: the type byte, u64 and the blob with its u32 length.
  AudioPacket packet;
  packet.data = std::move(frame.payload);
  packet.data.resize(limit - 13 + 1);
  EXPECT_EQ(errorFrom([&] { WireCodec::encodeAudioPacket(packet); }), oneOver);

  packet.data.resize(limit + 1);
  EXPECT_EQ(errorFrom([&] { WireCodec::frame(packet.data); }), oneOver);
}

TEST(FrameLimit, SmallFramesAreUnchanged) {
  EXPECT_EQ(toHex(WireCodec::frame(Bytes{})), "00000000");
  EXPECT_EQ(toHex(WireCodec::frame(Bytes{0xAB, 0xCD})), "00000002abcd");
}

}  // namespace
}  // namespace brindlet
