// The whole audio road inside one process: a signal played into the sound server reaches the
// device end of an in-process pair as an announcement and packets, which FFmpeg's decoder
// turns back into that signal.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "capture/AACTestDecoder.h"
#include "capture/PulseTestTools.h"
#include "host/capture/AACELDEncoder.h"
#include "host/capture/AudioTapArbiter.h"
#include "host/capture/CoreAudioTapCapture.h"
#include "kit/support/SystemClock.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using brindlet::testing::AACTestDecoder;
using brindlet::testing::channelOf;
using brindlet::testing::pactl;
using brindlet::testing::peakNear;
using brindlet::testing::streamSinks;
using brindlet::testing::TonePlayer;

class SessionAudioTest : public SessionFixture {
 protected:
  SessionAudioTest() {
    adjustEnvironment = [this](HostEnvironment& env) {
      env.audioArbiter = std::make_shared<AudioTapArbiter>();
      env.audioEncoders = std::make_shared<AACELDEncoderFactory>();
      env.makeAudioCapture =
          [this, routing = std::make_shared<platform::PulseRouting>()]() -> std::shared_ptr<AudioCapturing> {
        return std::make_shared<CoreAudioTapCapture>(loop.io.get_executor(), SystemClock::shared(), routing);
      };
    };
  }

  static asio::awaitable<void> collect(std::shared_ptr<Connection> c, std::vector<AudioPacket>* out) {
    auto packets = c->audioPackets();
    while (auto packet = co_await packets.next()) out->push_back(*packet);
  }
};

TEST_F(SessionAudioTest, ToneAndChordReachTheDeviceAndDecodeToTheInput) {
  struct Case {
    const char* name;
    std::vector<std::pair<double, double>> components;
    double minSnrDb;
  };
  const std::vector<Case> cases{
      {"1 kHz tone", {{1000, 0.4}}, 25},
      {"chord", {{523.25, 0.2}, {659.26, 0.15}, {3000, 0.1}, {9000, 0.05}}, 18},
  };
  startAccepted();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto signal = [&c](std::size_t frame) {
      double v = 0;
      for (auto [f, a] : c.components) v += a * std::sin(2 * std::numbers::pi * f * static_cast<double>(frame) / 48000);
      return static_cast<float>(v);
    };
    TonePlayer player([&](std::size_t frame, int) { return signal(frame); });
    ASSERT_TRUE(player.playing());
    std::vector<AudioPacket> packets;
    Task reader = Task::spawn(loop.strand(), collect(device, &packets));
    received.clear();
    send(msg::SetAudio{AudioMode::both});
    ASSERT_TRUE(loop.runUntil([&] { return packets.size() >= 250; }, std::chrono::seconds(90)));
    ASSERT_GE(received.size(), 2u);
    const auto* config = received[0].as<msg::AudioConfig>();
    ASSERT_TRUE(config);
    EXPECT_EQ(received[1], Message(msg::AudioStatus{AudioStatus::playing, std::nullopt}));
    EXPECT_EQ(config->sampleRate, 48000u);
    EXPECT_EQ(config->channels, 2);
    send(msg::SetAudio{AudioMode::off});

    for (std::size_t i = 1; i < packets.size(); ++i) {
      auto step = packets[i].ptsMicros - packets[i - 1].ptsMicros;
      ASSERT_TRUE(step == 10'666 || step == 10'667) << "packet " << i << " step " << step;
    }
    AACTestDecoder decoder(config->magicCookie);
    std::vector<float> decoded;
    for (const auto& p : packets) decoder.decode(p.data, decoded);
    EXPECT_EQ(decoder.errors(), 0);
    auto left = channelOf(decoded, 2, 0);
    // The last second: the recording has settled on the playing signal.
    std::vector<float> steady(left.end() - 48000, left.end());
    for (auto [frequency, amplitude] : c.components) {
      EXPECT_NEAR(peakNear(steady, 48000, frequency), frequency, 1.0) << amplitude;
    }
    // The tones played, fitted in amplitude and phase, against what else came out.
    std::vector<double> frequencies;
    for (auto [f, a] : c.components) frequencies.push_back(f);
    std::vector<float> part(steady.begin(), steady.begin() + 12000);
    double snr = brindlet::testing::toneSNR(part, 48000, frequencies);
    RecordProperty(std::string(c.name) + " snr_db", std::to_string(snr));
    EXPECT_GE(snr, c.minSnrDb);
    received.clear();
  }
}

TEST_F(SessionAudioTest, PhoneOnlyMutesTheSpeakersUntilTheSessionEnds) {
  TonePlayer player([](std::size_t frame, int) {
    return static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(frame) / 48000));
  });
  ASSERT_TRUE(player.playing());
  const std::string defaultSink = pactl("get-default-sink");
  ASSERT_TRUE(loop.runUntil([&] { return streamSinks().size() == 1; }, std::chrono::seconds(5)));
  startAccepted();
  send(msg::SetAudio{AudioMode::phoneOnly});
  ASSERT_TRUE(loop.runUntil([&] { return received.size() >= 2; }, std::chrono::seconds(10)));
  EXPECT_EQ(received[1], Message(msg::AudioStatus{AudioStatus::playing, std::nullopt}));
  EXPECT_EQ(streamSinks(), std::vector<std::string>{platform::PulseMonitor::silentSinkName});
  // Both: the speakers play again.
  send(msg::SetAudio{AudioMode::both});
  ASSERT_TRUE(loop.runUntil([&] { return received.size() >= 4; }, std::chrono::seconds(10)));
  EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  send(msg::SetAudio{AudioMode::phoneOnly});
  ASSERT_TRUE(loop.runUntil([&] { return received.size() >= 6; }, std::chrono::seconds(10)));
  EXPECT_EQ(streamSinks(), std::vector<std::string>{platform::PulseMonitor::silentSinkName});
  // The session ends (the device hangs up): the routing is as it was.
  device->close();
  ASSERT_TRUE(loop.runUntil([&] { return sessionEnded; }, std::chrono::seconds(10)));
  EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  EXPECT_EQ(pactl("get-default-sink"), defaultSink);
}

}  // namespace
}  // namespace brindlet::host::testing
