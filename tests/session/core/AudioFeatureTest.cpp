#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "host/capture/AudioPipeline.h"
#include "host/capture/AudioTapArbiter.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

// A capture whose start can be held back, to see what happens while a start is under way.
class GatedCapture : public AudioCapturing {
 public:
  Format start(bool muteLocal, Handler handler) override {
    std::unique_lock lock(mutex_);
    ++starts;
    muted = muteLocal;
    started_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    if (failure) throw *failure;
    handler_ = std::move(handler);
    return {2, 48000};
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    ++stops;
    handler_ = nullptr;
  }
  void hold() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void release() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void deliver(const std::vector<float>& samples, std::uint64_t micros) {
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(samples, micros);
  }
  int startCount() {
    std::lock_guard lock(mutex_);
    return starts;
  }
  int stopCount() {
    std::lock_guard lock(mutex_);
    return stops;
  }

  std::optional<AudioCaptureError> failure;
  bool muted = false;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::condition_variable started_;
  bool open_ = true;
  int starts = 0;
  int stops = 0;
  Handler handler_;
};

class OneByteEncoder : public AudioEncoding {
 public:
  const AudioStreamConfig& config() const override { return config_; }
  int framesPerPacket() const override { return 512; }
  std::vector<Bytes> encode(const std::vector<float>& samples) override {
    pending_ += samples.size();
    std::vector<Bytes> out;
    for (; pending_ >= 1024; pending_ -= 1024) out.push_back(Bytes{0x21});
    return out;
  }

 private:
  AudioStreamConfig config_{48000, 2, AudioCodec::aacELD, {0xF8, 0xE6, 0x40, 0x00}};
  std::size_t pending_ = 0;
};

class OneByteEncoders : public AudioEncoderFactory {
 public:
  std::unique_ptr<AudioEncoding> makeEncoder(int, double) const override { return std::make_unique<OneByteEncoder>(); }
};

class AudioFeatureTest : public SessionFixture {
 protected:
  AudioFeatureTest() {
    adjustEnvironment = [this](HostEnvironment& env) {
      env.audioArbiter = arbiter;
      env.audioEncoders = std::make_shared<OneByteEncoders>();
      env.makeAudioCapture = [this]() -> std::shared_ptr<AudioCapturing> {
        captures.push_back(std::make_shared<GatedCapture>());
        if (nextFailure) captures.back()->failure = nextFailure;
        if (holdNext) captures.back()->hold();
        return captures.back();
      };
    };
  }

  // Sends setAudio and waits until the device has `count` more messages.
  void setAudio(AudioMode mode, std::size_t answers) {
    std::size_t before = received.size();
    send(msg::SetAudio{mode});
    ASSERT_TRUE(loop.runUntil([&] { return received.size() >= before + answers; }));
  }

  std::vector<AudioPacket> packetsAtDevice(std::size_t count) {
    std::vector<AudioPacket> packets;
    bool done = false;
    Task task = Task::spawn(loop.strand(), collect(device, count, &packets, &done));
    EXPECT_TRUE(loop.runUntil([&] { return done; }, std::chrono::seconds(5)));
    return packets;
  }
  static asio::awaitable<void> collect(std::shared_ptr<Connection> c, std::size_t count, std::vector<AudioPacket>* out,
                                       bool* done) {
    auto packets = c->audioPackets();
    while (out->size() < count) {
      auto packet = co_await packets.next();
      if (!packet) break;
      out->push_back(*packet);
    }
    *done = true;
  }

  // The audioStatus messages the device received, in order.
  std::vector<Message> audioStatuses() const {
    std::vector<Message> statuses;
    for (const auto& m : received) {
      if (m.is<msg::AudioStatus>()) statuses.push_back(m);
    }
    return statuses;
  }

  std::shared_ptr<AudioTapArbiter> arbiter = std::make_shared<AudioTapArbiter>();
  std::vector<std::shared_ptr<GatedCapture>> captures;
  std::optional<AudioCaptureError> nextFailure;
  bool holdNext = false;
};

TEST_F(AudioFeatureTest, AnnouncesThenPlaysAndSendsPackets) {
  startAccepted();
  LogCapture log;
  setAudio(AudioMode::both, 2);
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"audioConfig", "audioStatus"}));
  EXPECT_EQ(received[0], Message(msg::AudioConfig{48000, 2, AudioCodec::aacELD, {0xF8, 0xE6, 0x40, 0x00}}));
  EXPECT_EQ(received[1], Message(msg::AudioStatus{AudioStatus::playing, std::nullopt}));
  EXPECT_EQ(log.containing("audio on mode=2").size(), 1u);
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_FALSE(captures[0]->muted);
  captures[0]->deliver(std::vector<float>(2048, 0.f), 77);
  auto packets = packetsAtDevice(2);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].ptsMicros, 77u);
  EXPECT_EQ(packets[1].ptsMicros, 77u + 10'666);

  // The same mode again changes nothing while it plays.
  received.clear();
  send(msg::SetAudio{AudioMode::both});
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(captures.size(), 1u);

  // Switching to phone-only stops the first capture and starts a muted one.
  setAudio(AudioMode::phoneOnly, 2);
  ASSERT_EQ(captures.size(), 2u);
  EXPECT_EQ(captures[0]->stopCount(), 1);
  EXPECT_TRUE(captures[1]->muted);

  received.clear();
  setAudio(AudioMode::off, 1);
  EXPECT_EQ(received, (std::vector<Message>{msg::AudioStatus{AudioStatus::off, std::nullopt}}));
  EXPECT_EQ(captures[1]->stopCount(), 1);
  EXPECT_FALSE(arbiter->ownerID());
  // Off again: silent.
  received.clear();
  send(msg::SetAudio{AudioMode::off});
  EXPECT_TRUE(received.empty());
}

TEST_F(AudioFeatureTest, BeforeHelloNothingHappens) {
  startSession();
  send(msg::SetAudio{AudioMode::both});
  EXPECT_TRUE(captures.empty());
  EXPECT_TRUE(received.empty());
}

TEST_F(AudioFeatureTest, FailuresAreReportedAndTheSameModeTriesAgain) {
  startAccepted();
  nextFailure =
      AudioCaptureError(AudioCaptureError::Kind::permissionDenied, "System Audio Recording permission is not granted");
  setAudio(AudioMode::phoneOnly, 1);
  EXPECT_EQ(received, (std::vector<Message>{msg::AudioStatus{
                          AudioStatus::permissionMissing, "Allow System Audio Recording for Nolu Host on the Mac"}}));
  EXPECT_FALSE(arbiter->ownerID());
  received.clear();
  nextFailure = AudioCaptureError::failed("Audio capture: connect failed (PulseAudio error 6: Connection refused)");
  setAudio(AudioMode::phoneOnly, 1);
  EXPECT_EQ(received,
            (std::vector<Message>{msg::AudioStatus{
                AudioStatus::failed, "Audio capture: connect failed (PulseAudio error 6: Connection refused)"}}));
  received.clear();
  nextFailure.reset();
  setAudio(AudioMode::phoneOnly, 2);
  EXPECT_EQ(received.back(), Message(msg::AudioStatus{AudioStatus::playing, std::nullopt}));
  EXPECT_EQ(captures.size(), 3u);
}

TEST_F(AudioFeatureTest, AnotherSessionTakingTheTapTurnsThisOneOff) {
  startAccepted();
  setAudio(AudioMode::both, 2);
  received.clear();
  UUID other = UUID::random();
  arbiter->claim(other, [] {});
  ASSERT_TRUE(loop.runUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received,
            (std::vector<Message>{msg::AudioStatus{AudioStatus::off, "Another device is using the Mac's audio"}}));
  EXPECT_EQ(captures[0]->stopCount(), 1);
  EXPECT_EQ(arbiter->ownerID(), other);  // the takeover does not release the new owner's claim
}

// A takeover while this session's start is still under way voids that start: only the newest
// owner streams.
TEST_F(AudioFeatureTest, ATakeoverCancelsAStartInFlight) {
  startAccepted();
  holdNext = true;
  send(msg::SetAudio{AudioMode::both});
  ASSERT_TRUE(loop.runUntil([&] { return !captures.empty() && captures[0]->startCount() == 1; }));
  arbiter->claim(UUID::random(), [] {});
  ASSERT_TRUE(loop.runUntil([&] { return !received.empty(); }));
  captures[0]->release();
  ASSERT_TRUE(loop.runUntil([&] { return captures[0]->stopCount() == 1; }));
  loop.settle();
  // The off status; neither the playing status nor anything after it. (The announcement may
  // come, as the pipeline sends it from inside its start.)
  EXPECT_EQ(audioStatuses(),
            (std::vector<Message>{msg::AudioStatus{AudioStatus::off, "Another device is using the Mac's audio"}}));
  captures[0]->deliver(std::vector<float>(2048, 0.f), 0);
  loop.settle();
}

// Messages are handled one at a time, so an off that comes during a start is handled after
// it: the start's playing status, then off.
TEST_F(AudioFeatureTest, OffDuringAStartTurnsItOffOnceStarted) {
  startAccepted();
  holdNext = true;
  send(msg::SetAudio{AudioMode::both});
  ASSERT_TRUE(loop.runUntil([&] { return !captures.empty() && captures[0]->startCount() == 1; }));
  holdNext = false;
  send(msg::SetAudio{AudioMode::off});
  captures[0]->release();
  ASSERT_TRUE(loop.runUntil([&] { return captures[0]->stopCount() == 1; }));
  loop.settle();
  EXPECT_EQ(audioStatuses(), (std::vector<Message>{msg::AudioStatus{AudioStatus::playing, std::nullopt},
                                                   msg::AudioStatus{AudioStatus::off, std::nullopt}}));
  EXPECT_FALSE(arbiter->ownerID());
}

TEST_F(AudioFeatureTest, TheSessionsEndStopsTheAudioAndFreesTheTap) {
  startAccepted();
  setAudio(AudioMode::phoneOnly, 2);
  EXPECT_TRUE(arbiter->ownerID());
  device->close();
  ASSERT_TRUE(loop.runUntil([&] { return sessionEnded; }));
  EXPECT_EQ(captures[0]->stopCount(), 1);
  EXPECT_FALSE(arbiter->ownerID());
}

}  // namespace
}  // namespace brindlet::host::testing
