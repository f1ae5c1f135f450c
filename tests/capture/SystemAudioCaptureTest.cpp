#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <numbers>

#include "capture/AACTestDecoder.h"
#include "capture/PulseTestTools.h"
#include "host/capture/CoreAudioTapCapture.h"
#include "kit/support/SystemClock.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::pactl;
using brindlet::testing::streamSinks;
using brindlet::testing::TonePlayer;

float tone(std::size_t frame, double frequency) {
  return static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(frame) / 48000));
}

struct Recorder {
  std::mutex mutex;
  std::vector<float> samples;
  std::vector<std::uint64_t> times;
  AudioCapturing::Handler handler() {
    return [this](const std::vector<float>& s, std::uint64_t t) {
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), s.begin(), s.end());
      times.push_back(t);
    };
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return samples.size();
  }
};

class SystemAudioCaptureTest : public ::testing::Test {
 protected:
  brindlet::testing::TestLoop loop;
  std::shared_ptr<Clock> clock = SystemClock::shared();
  std::shared_ptr<platform::PulseRouting> routing = std::make_shared<platform::PulseRouting>();
};

TEST_F(SystemAudioCaptureTest, RecordsWhatPlaysWithATimeLine) {
  TonePlayer player([](std::size_t f, int) { return tone(f, 1000); });
  ASSERT_TRUE(player.playing());
  CoreAudioTapCapture capture(loop.io.get_executor(), clock, routing);
  Recorder recorder;
  auto format = capture.start(false, recorder.handler());
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.sampleRate, 48000);
  ASSERT_TRUE(loop.runUntil([&] { return recorder.size() >= 48000 * 2 * 2; }, std::chrono::seconds(60)));
  capture.stop();
  std::size_t after = recorder.size();
  loop.settle();
  EXPECT_EQ(recorder.size(), after);  // nothing after stop

  auto left = brindlet::testing::channelOf(recorder.samples, 2, 0);
  std::vector<float> last(left.end() - 24000, left.end());
  EXPECT_NEAR(brindlet::testing::peakNear(last, 48000, 1000), 1000, 1.0);
  // Batches of about 10 ms, each time the previous one plus its frames.
  ASSERT_GE(recorder.times.size(), 10u);
  EXPECT_GT(recorder.times[1], recorder.times[0]);
}

TEST_F(SystemAudioCaptureTest, PhoneOnlySilencesTheSpeakersAndRestoresTheRoutingExactly) {
  TonePlayer player([](std::size_t f, int) { return tone(f, 440); });
  ASSERT_TRUE(player.playing());
  const std::string defaultSink = pactl("get-default-sink");
  ASSERT_TRUE(loop.runUntil([&] { return streamSinks().size() == 1; }, std::chrono::seconds(5)));
  ASSERT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  {
    // Both: nothing moves.
    CoreAudioTapCapture capture(loop.io.get_executor(), clock, routing);
    Recorder recorder;
    capture.start(false, recorder.handler());
    EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
    EXPECT_EQ(pactl("get-default-sink"), defaultSink);
    capture.stop();
  }
  CoreAudioTapCapture capture(loop.io.get_executor(), clock, routing);
  Recorder recorder;
  capture.start(true, recorder.handler());
  // The stream plays on the silent sink (the speakers' sink hears nothing), which is also
  // where new streams go; the recording still hears the tone.
  EXPECT_EQ(streamSinks(), std::vector<std::string>{platform::PulseMonitor::silentSinkName});
  EXPECT_EQ(pactl("get-default-sink"), platform::PulseMonitor::silentSinkName);
  // Two seconds, so the half second looked at lies well after the streams moved (a move can
  // leave a short gap in what plays).
  ASSERT_TRUE(loop.runUntil([&] { return recorder.size() >= 48000 * 2 * 2; }, std::chrono::seconds(60)));
  auto left = brindlet::testing::channelOf(recorder.samples, 2, 0);
  std::vector<float> last(left.end() - 24000, left.end());
  EXPECT_NEAR(brindlet::testing::peakNear(last, 48000, 440), 440, 1.0);
  capture.stop();
  EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  EXPECT_EQ(pactl("get-default-sink"), defaultSink);
  EXPECT_EQ(pactl("list short sinks").find(platform::PulseMonitor::silentSinkName), std::string::npos);
}

// A silent sink left behind by a host that died is removed, and its streams and the default
// sink given back, by the next start.
TEST_F(SystemAudioCaptureTest, ALeftoverSilentSinkIsCleanedUpByTheNextStart) {
  TonePlayer player([](std::size_t f, int) { return tone(f, 440); });
  ASSERT_TRUE(player.playing());
  const std::string defaultSink = pactl("get-default-sink");
  ASSERT_TRUE(loop.runUntil([&] { return streamSinks().size() == 1; }, std::chrono::seconds(5)));
  pactl(std::string("load-module module-null-sink sink_name=") + platform::PulseMonitor::silentSinkName +
        " sink_properties=brindlet.default_sink=" + defaultSink);
  pactl(std::string("set-default-sink ") + platform::PulseMonitor::silentSinkName);
  pactl(std::string("move-sink-input ") +
        pactl("list short sink-inputs").substr(0, pactl("list short sink-inputs").find('\t')) + " " +
        platform::PulseMonitor::silentSinkName);
  ASSERT_EQ(streamSinks(), std::vector<std::string>{platform::PulseMonitor::silentSinkName});

  CoreAudioTapCapture capture(loop.io.get_executor(), clock, routing);
  Recorder recorder;
  capture.start(false, recorder.handler());
  EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  EXPECT_EQ(pactl("get-default-sink"), defaultSink);
  EXPECT_EQ(pactl("list short sinks").find(platform::PulseMonitor::silentSinkName), std::string::npos);
  capture.stop();
}

// A new capture starts before the one it replaces stops (another session's, or the same
// session's next request): they share the silent sink, and the speakers stay silent until the
// last of them stops, whichever order they stop in.
TEST_F(SystemAudioCaptureTest, OverlappingPhoneOnlyCapturesShareTheSilentSink) {
  TonePlayer player([](std::size_t f, int) { return tone(f, 440); });
  ASSERT_TRUE(player.playing());
  const std::string defaultSink = pactl("get-default-sink");
  ASSERT_TRUE(loop.runUntil([&] { return streamSinks().size() == 1; }, std::chrono::seconds(5)));
  const std::vector<std::string> silent{platform::PulseMonitor::silentSinkName};
  auto silentSinks = [] {
    const std::string listed = pactl("list short sinks");
    std::size_t count = 0;
    for (std::size_t at = 0; (at = listed.find(platform::PulseMonitor::silentSinkName, at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count;
  };
  for (bool firstStopsFirst : {true, false}) {
    SCOPED_TRACE(firstStopsFirst ? "first stops first" : "second stops first");
    auto first = std::make_unique<CoreAudioTapCapture>(loop.io.get_executor(), clock, routing);
    auto second = std::make_unique<CoreAudioTapCapture>(loop.io.get_executor(), clock, routing);
    Recorder firstRecorder, secondRecorder;
    first->start(true, firstRecorder.handler());
    second->start(true, secondRecorder.handler());
    EXPECT_EQ(streamSinks(), silent);
    EXPECT_EQ(pactl("get-default-sink"), platform::PulseMonitor::silentSinkName);
    EXPECT_EQ(silentSinks(), 1u);

    (firstStopsFirst ? first : second)->stop();
    EXPECT_EQ(streamSinks(), silent);
    EXPECT_EQ(pactl("get-default-sink"), platform::PulseMonitor::silentSinkName);
    // The one still running hears what plays: two seconds on, past the gap the first move
    // may have left.
    Recorder& running = firstStopsFirst ? secondRecorder : firstRecorder;
    auto before = running.size();
    ASSERT_TRUE(loop.runUntil([&] { return running.size() >= before + 48000 * 2 * 2; }, std::chrono::seconds(60)));
    {
      std::lock_guard lock(running.mutex);
      std::vector<float> left = brindlet::testing::channelOf(running.samples, 2, 0);
      std::vector<float> last(left.end() - 24000, left.end());
      EXPECT_NEAR(brindlet::testing::peakNear(last, 48000, 440), 440, 1.0);
    }

    (firstStopsFirst ? second : first)->stop();
    EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
    EXPECT_EQ(pactl("get-default-sink"), defaultSink);
    EXPECT_EQ(silentSinks(), 0u);
  }
}

TEST_F(SystemAudioCaptureTest, NoServerFailsWithAClearText) {
  CoreAudioTapCapture capture(loop.io.get_executor(), clock, routing, "unix:/nonexistent/brindlet-pulse.sock");
  Recorder recorder;
  try {
    capture.start(false, recorder.handler());
    ADD_FAILURE() << "started without a server";
  } catch (const AudioCaptureError& error) {
    EXPECT_EQ(error.kind(), AudioCaptureError::Kind::failed);
    EXPECT_EQ(std::string(error.what()).rfind("Audio capture: connect failed (PulseAudio error ", 0), 0u)
        << error.what();
  }
}

}  // namespace
}  // namespace brindlet::host
