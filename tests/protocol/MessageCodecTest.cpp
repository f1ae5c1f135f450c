#include <gtest/gtest.h>

#include <set>
#include <string>

#include "SampleMessages.h"
#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"

namespace brindlet {
namespace {

using testing::sampleAudioPacket;
using testing::sampleMessages;
using testing::sampleVideoFrame;

// Decodes one whole frame as a message.
Message decodeFrame(const Bytes& frame) {
  WireDecoder decoder;
  decoder.append(frame);
  std::optional<Message> message = decoder.nextMessage();
  if (!message) throw std::runtime_error("no complete frame");
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  return *message;
}

// Decodes a payload (type byte and body) as a message.
Message decodePayload(const Bytes& payload) { return decodeFrame(WireCodec::frame(payload)); }

WireError errorOf(const Bytes& payload) {
  try {
    decodePayload(payload);
  } catch (const WireError& e) {
    return e;
  }
  ADD_FAILURE() << "payload decoded without error: " << toHex(payload);
  return WireError::truncated();
}

Bytes payloadOf(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.end()); }

TEST(MessageCodec, EveryCaseRoundTripsThroughItsFrame) {
  std::set<std::uint8_t> types;
  for (const Message& message : sampleMessages()) {
    SCOPED_TRACE(std::string(message.name()));
    const Bytes frame = WireCodec::encode(message);
    ASSERT_GE(frame.size(), 5u);
    const std::uint32_t length = (frame[0] << 24) | (frame[1] << 16) | (frame[2] << 8) | frame[3];
    EXPECT_EQ(length, frame.size() - 4);
    EXPECT_EQ(frame[4], message.type());
    EXPECT_EQ(decodeFrame(frame), message);
    types.insert(message.type());
  }
  // The 61 type bytes 0x01 to 0x3E without 0x24.
  std::set<std::uint8_t> expected;
  for (int t = 0x01; t <= 0x3E; ++t) {
    if (t != 0x24) expected.insert(static_cast<std::uint8_t>(t));
  }
  EXPECT_EQ(types, expected);
  EXPECT_EQ(Message::caseCount, 61u);
}

TEST(MessageCodec, ChannelsFollowTheCase) {
  for (const Message& message : sampleMessages()) {
    Channel expected = Channel::control;
    if (message.is<msg::Key>() || message.is<msg::Pointer>() || message.is<msg::Text>()) expected = Channel::input;
    if (message.is<msg::FileChunk>() || message.is<msg::FileEnd>()) expected = Channel::transfer;
    EXPECT_EQ(message.channel(), expected) << message.name();
  }
  EXPECT_EQ(Message(msg::FileOffer{}).channel(), Channel::control);
  EXPECT_EQ(Message(msg::FileChunk{}).channel(), Channel::transfer);
  EXPECT_EQ(Message(msg::ClipboardText{}).channel(), Channel::control);
  EXPECT_EQ(Message(msg::Ping{}).channel(), Channel::control);
  EXPECT_EQ(Message(msg::Text{}).channel(), Channel::input);
}

TEST(MessageCodec, MessagesCompareByCaseAndPayload) {
  EXPECT_EQ(Message(msg::Ping{1}), Message(msg::Ping{1}));
  EXPECT_NE(Message(msg::Ping{1}), Message(msg::Pong{1}));
  EXPECT_NE(Message(msg::Ping{1}), Message(msg::Ping{2}));
  EXPECT_EQ(Message(msg::Unfocus{}), Message(msg::Unfocus{}));
  EXPECT_NE(Message(msg::HostStatus{HostState::ok, std::nullopt}), Message(msg::HostStatus{HostState::ok, ""}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_NE(Message(msg::Feedback{Feedback{1, 2, nan, false}}), Message(msg::Feedback{Feedback{1, 2, nan, false}}));
}

TEST(MessageCodec, VideoFrameAndAudioPacketRoundTrip) {
  for (const VideoFrame& frame : {sampleVideoFrame(), VideoFrame{}}) {
    WireDecoder decoder;
    decoder.append(WireCodec::encodeVideoFrame(frame));
    EXPECT_EQ(decoder.nextVideoFrame(), frame);
    EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  }
  for (const AudioPacket& packet : {sampleAudioPacket(), AudioPacket{}}) {
    WireDecoder decoder;
    decoder.append(WireCodec::encodeAudioPacket(packet));
    EXPECT_EQ(decoder.nextAudioPacket(), packet);
  }
}

TEST(MessageCodec, FramesMatchTheirByteLayouts) {
  struct Case {
    const char* what;
    Message message;
    std::string hex;
  };
  const std::vector<Case> cases = {
      {"focusBack is a type byte alone", msg::FocusBack{}, "000000012a"},
      {"unfocus is a type byte alone", msg::Unfocus{}, "000000011d"},
      {"requestInstalledApps is a type byte alone", msg::RequestInstalledApps{}, "000000012b"},
      {"hostStatus without detail ends in 0", msg::HostStatus{HostState::locked, std::nullopt}, "00000003180300"},
      {"hostStatus with a one-letter detail", msg::HostStatus{HostState::ok, "A"},
       "000000061800010001"
       "41"},
      {"activateApp without a window", msg::ActivateApp{-2, std::nullopt, true}, "000000071bfffffffe0001"},
      {"activateApp with a window", msg::ActivateApp{5, 0x01020304u, false}, "0000000b1b00000005010102030400"},
      {"key keeps the modifier bits", msg::Key{KeyEvent{HIDUsage::fn, true, ModifierFlags(0xC9)}},
       "000000050bff0301c9"},
      {"pointer scroll", msg::Pointer{PointerEvent::Scroll{1.0f, -2.0f, ScrollPhase::momentum}, 9},
       "0000000f0c0000000903"
       "3f800000"
       "c0000000"
       "03"},
      {"empty text is two zero bytes", msg::Text{""}, "00000003250000"},
      {"empty blob is four zero bytes", msg::AuthChallenge{}, "000000051100000000"},
      {"helloAck", msg::HelloAck{16, UUID{}, "M", CodecProfile::hevcMain44410},
       "000000170200100000000000000000000000000000000000014d03"},
      {"streamMode desktop without follow",
       msg::StreamMode{StreamModeInfo{StreamMode::desktop(), false, std::nullopt, NormalizedRect::full, std::nullopt}},
       "000000152000"
       "00"
       "00"
       "00000000"
       "00000000"
       "3f800000"
       "3f800000"
       "00"},
      {"fileOffer kinds count from 1", msg::FileOffer{1, {}, FileTransferKind::paste}, "000000083400000001000002"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toHex(WireCodec::encode(c.message)), c.hex) << c.what;
    EXPECT_EQ(decodeFrame(WireCodec::encode(c.message)), c.message) << c.what;
  }
}

TEST(MessageCodec, VideoAndAudioRecordsMatchTheirLayouts) {
  const Bytes key = WireCodec::encodeVideoFrame(sampleVideoFrame());
  EXPECT_EQ(key.size(), 4u + 1108u);  // 48 + (4 + 24) + (4 + 12) + (4 + 8) + (4 + 1000)
  // Type, display ID, frame number, capture time, key flag, profile, width, height, rectangle, set count.
  EXPECT_EQ(toHex(Bytes(key.begin(), key.begin() + 52)),
            "00000454"
            "80"
            "00000001"
            "0000011f71fb04cb"
            "000000e5f4c8f368"
            "01"
            "02"
            "00000aac"
            "000006f2"
            "3dcccccd"
            "3e4ccccd"
            "3f4ccccd"
            "3f333333"
            "03");
  EXPECT_EQ(toHex(Bytes(key.begin() + 52, key.begin() + 56)), "00000018");

  const Bytes empty = WireCodec::encodeVideoFrame(VideoFrame{});
  EXPECT_EQ(empty.size(), 56u);
  EXPECT_EQ(toHex(Bytes(empty.end() - 5, empty.end())), "0000000000");

  EXPECT_EQ(toHex(WireCodec::encodeAudioPacket(AudioPacket{0x0102030405060708ull, {}})),
            "0000000d"
            "81"
            "0102030405060708"
            "00000000");
}

TEST(MessageCodec, WritersClampToTheirCaps) {
  std::vector<std::string> ids(30, "a");
  auto icons = decodeFrame(WireCodec::encode(msg::RequestAppIcons{ids}));
  EXPECT_EQ(icons.as<msg::RequestAppIcons>()->bundleIDs.size(), 24u);
  EXPECT_EQ(WireCodec::encode(msg::RequestAppIcons{ids})[5], 24);

  std::vector<std::string> path = {"1", "2", "3", "4", "5", "6", "7"};
  auto action = decodeFrame(WireCodec::encode(msg::PerformAction{1, path}));
  EXPECT_EQ(action.as<msg::PerformAction>()->path, (std::vector<std::string>{"1", "2", "3", "4", "5"}));

  std::vector<std::int32_t> pids(100);
  for (int i = 0; i < 100; ++i) pids[i] = i;
  auto recent = decodeFrame(WireCodec::encode(msg::RecentApps{pids}));
  EXPECT_EQ(recent.as<msg::RecentApps>()->pids, std::vector<std::int32_t>(pids.begin(), pids.begin() + 64));

  VideoFrame many = sampleVideoFrame();
  many.parameterSets.clear();
  for (int i = 0; i < 300; ++i) many.parameterSets.push_back(Bytes{static_cast<std::uint8_t>(i)});
  const Bytes frame = WireCodec::encodeVideoFrame(many);
  EXPECT_EQ(frame[4 + 47], 255);
  WireDecoder decoder;
  decoder.append(frame);
  auto decoded = decoder.nextVideoFrame();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->parameterSets, std::vector<Bytes>(many.parameterSets.begin(), many.parameterSets.begin() + 255));
}

TEST(MessageCodec, LongTextsAreCutOnAScalarBoundary) {
  const std::string ascii(70000, 'x');
  Bytes out;
  WireCodec::writeString(ascii, out);
  EXPECT_EQ(out.size(), 2u + 65535u);
  EXPECT_EQ(toHex(Bytes(out.begin(), out.begin() + 2)), "ffff");

  // The 65,536th byte is the second byte of "é": the whole character is left out.
  const std::string split = std::string(65534, 'x') + "é" + "tail";
  out.clear();
  WireCodec::writeString(split, out);
  EXPECT_EQ(toHex(Bytes(out.begin(), out.begin() + 2)), "fffe");

  // A text that fits is never cut.
  out.clear();
  WireCodec::writeString(std::string(65535, 'y'), out);
  EXPECT_EQ(out.size(), 2u + 65535u);

  auto text = decodeFrame(WireCodec::encode(msg::Text{split}));
  EXPECT_EQ(text.as<msg::Text>()->text, std::string(65534, 'x'));
}

TEST(MessageCodec, BodyErrorsCarryTheirExactTexts) {
  struct Case {
    const char* payloadHex;
    WireError error;
  };
  auto bytes = [](const char* hex) {
    Bytes b;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) b.push_back(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return b;
  };
  const std::vector<Case> cases = {
      {"24", WireError::unknownType(36)},
      {"00", WireError::unknownType(0)},
      {"3f", WireError::unknownType(63)},
      {"80", WireError::unknownType(128)},
      {"ff", WireError::unknownType(255)},
      {"0702", WireError::invalidValue("bool 2")},
      {"25 0002 c328", WireError::invalidValue("invalid UTF-8")},
      {"25 0002 c080", WireError::invalidValue("invalid UTF-8")},      // overlong
      {"25 0003 eda080", WireError::invalidValue("invalid UTF-8")},    // surrogate
      {"25 0004 f4908080", WireError::invalidValue("invalid UTF-8")},  // past U+10FFFF
      {"25 0001 80", WireError::invalidValue("invalid UTF-8")},
      {"0c 00000001 04", WireError::invalidValue("pointer kind 4")},
      {"0c 00000001 02 03 01 01", WireError::invalidValue("button 3")},
      {"0c 00000001 03 00000000 00000000 05", WireError::invalidValue("scroll phase 5")},
      {"20 02", WireError::invalidValue("stream mode 2")},
      {"20 00 00 00 00000000000000003f8000003f800000 03", WireError::invalidValue("follow kind 3")},
      {"2d 19", WireError::invalidValue("icon request 25")},
      {"30 0001 61 00 00000000 0000", WireError::invalidValue("launch state 0")},
      {"30 0001 61 07 00000000 0000", WireError::invalidValue("launch state 7")},
      {"31 0001 61 00", WireError::invalidValue("launch action 0")},
      {"34 00000001 0000 03", WireError::invalidValue("transfer kind 3")},
      {"38 00000001 06 0000000000000000 0000", WireError::invalidValue("transfer state 6")},
      {"13 03", WireError::invalidValue("auth result 3")},
      {"14 02", WireError::invalidValue("pair method 2")},
      {"17 06", WireError::invalidValue("pair result 6")},
      {"02 0010 00000000000000000000000000000000 0000 04", WireError::invalidValue("profile 4")},
      {"18 07 00", WireError::invalidValue("host state 7")},
      {"18 00 02", WireError::invalidValue("bool 2")},
      {"26 03", WireError::invalidValue("audio mode 3")},
      {"28 04 00", WireError::invalidValue("audio status 4")},
      {"27 0000bb80 02 01 00000000", WireError::invalidValue("audio codec 1")},
      {"1b 00000001 02", WireError::invalidValue("bool 2")},
      {"0d 00000000000000", WireError::truncated()},
      {"11 00000005 0102", WireError::truncated()},
  };
  for (const Case& c : cases) {
    std::string compact;
    for (const char* p = c.payloadHex; *p; ++p) {
      if (*p != ' ') compact.push_back(*p);
    }
    const WireError error = errorOf(bytes(compact.c_str()));
    EXPECT_EQ(error, c.error) << c.payloadHex << " gave " << error.description();
  }
}

TEST(MessageCodec, UnknownTextFocusKindsAndMenuMarksReadAsNone) {
  const Message focus = decodePayload(Bytes{0x3D, 0x01, 0x00, 0x00, 0x09, 0x00});
  EXPECT_EQ(focus.as<msg::TextFocus>()->kind, TextFocusKind::none);

  // appActions with one node whose mark byte is 9.
  const Bytes payload = {0x3A, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0x08, 1, 9, 0, 0, 0};
  const Message actions = decodePayload(payload);
  ASSERT_EQ(actions.as<msg::AppActions>()->menus.size(), 1u);
  EXPECT_EQ(actions.as<msg::AppActions>()->menus[0].mark, MenuMark::none);
  EXPECT_EQ(actions.as<msg::AppActions>()->menus[0].modifiers, MenuNode::commandKey);
}

TEST(MessageCodec, EveryShortenedBodyFailsAsTruncated) {
  // A body cut anywhere fails with truncated, except a streamMode body cut right after its
  // surface, which carries no follow information.
  for (const Message& message : sampleMessages()) {
    const Bytes payload = payloadOf(WireCodec::encode(message));
    for (std::size_t n = 1; n < payload.size(); ++n) {
      const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
      if (message.is<msg::StreamMode>()) {
        try {
          const Message decoded = decodePayload(cut);
          StreamModeInfo expected = message.as<msg::StreamMode>()->info;
          expected.follow.reset();
          EXPECT_EQ(decoded.as<msg::StreamMode>()->info, expected) << "cut at " << n;
        } catch (const WireError& e) {
          EXPECT_EQ(e, WireError::truncated()) << message.name() << " cut at " << n;
        }
        continue;
      }
      EXPECT_EQ(errorOf(cut), WireError::truncated()) << message.name() << " cut at " << n;
    }
  }
}

TEST(MessageCodec, StreamModeEndingAfterTheSurfaceHasNoFollow) {
  const StreamModeInfo info{StreamMode::focus(7, 9), true, "n", NormalizedRect{0, 0, 0.5f, 0.5f},
                            FocusFollowInfo{FocusFollowInfo::Kind::window, "App", "Doc", false}};
  Bytes payload = payloadOf(WireCodec::encode(msg::StreamMode{info}));
  // Type, mode and focus (9 bytes), fitApplied, notice (4 bytes), surface (16 bytes).
  payload.resize(1 + 9 + 1 + 4 + 16);
  const Message decoded = decodePayload(payload);
  StreamModeInfo expected = info;
  expected.follow.reset();
  EXPECT_EQ(decoded.as<msg::StreamMode>()->info, expected);
}

TEST(MessageCodec, BytesAfterABodyAreIgnored) {
  for (const Message& message : sampleMessages()) {
    Bytes payload = payloadOf(WireCodec::encode(message));
    payload.insert(payload.end(), {0xFF, 0x00, 0x7F});
    EXPECT_EQ(decodePayload(payload), message) << message.name();
  }
}

TEST(MessageCodec, MediaReadersRefuseOtherRecordsAndBadFields) {
  const Bytes ping = WireCodec::encode(msg::Ping{1});
  const Bytes audio = WireCodec::encodeAudioPacket(sampleAudioPacket());
  const Bytes video = WireCodec::encodeVideoFrame(sampleVideoFrame());
  auto videoError = [](const Bytes& frame) -> std::optional<WireError> {
    WireDecoder d;
    d.append(frame);
    try {
      d.nextVideoFrame();
    } catch (const WireError& e) {
      EXPECT_EQ(d.bufferedByteCount(), 0u);
      return e;
    }
    return std::nullopt;
  };
  auto audioError = [](const Bytes& frame) -> std::optional<WireError> {
    WireDecoder d;
    d.append(frame);
    try {
      d.nextAudioPacket();
    } catch (const WireError& e) {
      return e;
    }
    return std::nullopt;
  };
  EXPECT_EQ(videoError(ping), WireError::unknownType(0x0D));
  EXPECT_EQ(videoError(audio), WireError::unknownType(0x81));
  EXPECT_EQ(audioError(video), WireError::unknownType(0x80));
  EXPECT_EQ(audioError(ping), WireError::unknownType(0x0D));
  EXPECT_EQ(errorOf(payloadOf(video)), WireError::unknownType(0x80));

  Bytes badProfile = video;
  badProfile[4 + 22] = 4;
  EXPECT_EQ(videoError(badProfile), WireError::invalidValue("profile 4"));
  Bytes badKey = video;
  badKey[4 + 21] = 2;
  EXPECT_EQ(videoError(badKey), WireError::invalidValue("bool 2"));

  // A parameter set or payload longer than the frame.
  Bytes longSet = video;
  longSet[4 + 48] = 0x7F;
  EXPECT_EQ(videoError(longSet), WireError::truncated());
  Bytes shortVideo = WireCodec::frame(Bytes(video.begin() + 4, video.end() - 1));
  EXPECT_EQ(videoError(shortVideo), WireError::truncated());
  Bytes shortAudio = WireCodec::frame(Bytes(audio.begin() + 4, audio.end() - 1));
  EXPECT_EQ(audioError(shortAudio), WireError::truncated());

  // Bytes after the record are ignored.
  Bytes longer(video.begin() + 4, video.end());
  longer.push_back(0xAB);
  WireDecoder d;
  d.append(WireCodec::frame(longer));
  EXPECT_EQ(d.nextVideoFrame(), sampleVideoFrame());
}

TEST(WireErrorText, ShowsTheCaseAndItsPayload) {
  EXPECT_EQ(WireError::unknownType(36).description(), "unknownType(36)");
  EXPECT_EQ(WireError::truncated().description(), "truncated");
  EXPECT_EQ(WireError::frameTooLarge(67108865).description(), "frameTooLarge(67108865)");
  EXPECT_EQ(WireError::invalidValue("bool 2").description(), "invalidValue(\"bool 2\")");
  EXPECT_STREQ(WireError::unknownType(36).what(), "unknownType(36)");
  EXPECT_EQ(WireError::invalidValue("bool 2"), WireError::invalidValue("bool 2"));
  EXPECT_NE(WireError::invalidValue("bool 2"), WireError::invalidValue("bool 3"));
  EXPECT_NE(WireError::unknownType(1), WireError::unknownType(2));
  EXPECT_NE(WireError::truncated(), WireError::unknownType(0));
  EXPECT_EQ(WireError::frameTooLarge(5).errorCase(), WireError::Case::frameTooLarge);
  EXPECT_EQ(WireError::frameTooLarge(5).length(), 5);
}

}  // namespace
}  // namespace brindlet
