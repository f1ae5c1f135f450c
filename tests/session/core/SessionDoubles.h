#pragma once

// Test doubles for the services a session uses, and an environment made of them.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/CaptureDoubles.h"
#include "host/capture/CaptureSource.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/PowerManaging.h"
#include "host/capture/VideoEncoder.h"
#include "host/control/ClickRecord.h"
#include "host/control/InputInjector.h"
#include "host/control/PasteboardProviding.h"
#include "host/session/HostEnvironment.h"
#include "kit/pairing/HostAuthGating.h"
#include "kit/support/ManualClock.h"
#include "platform/log/Log.h"

namespace brindlet::host::testing {

// Makes recording encoders for the profiles it was given, and keeps each with the output
// handler the session gave it.
class FixedEncoderFactory final : public EncoderFactory {
 public:
  struct Made {
    CodecProfile profile;
    std::int64_t bitrate;
    EncoderOutputHandler output;
    std::shared_ptr<brindlet::testing::RecordingEncoder> encoder;
  };

  explicit FixedEncoderFactory(std::vector<CodecProfile> profiles) : profiles_(std::move(profiles)) {}
  std::vector<CodecProfile> supportedProfiles() const override { return profiles_; }
  std::shared_ptr<VideoEncoder> makeEncoder(CodecProfile profile, int64_t bitrate,
                                            EncoderOutputHandler output) const override {
    if (failure) throw std::runtime_error(*failure);
    auto encoder = std::make_shared<brindlet::testing::RecordingEncoder>(output);
    made.push_back({profile, bitrate, std::move(output), encoder});
    return encoder;
  }

  mutable std::vector<Made> made;
  std::optional<std::string> failure;  // makeEncoder() throws it

 private:
  std::vector<CodecProfile> profiles_;
};

// A display list the test changes; change() tells the subscriber.
class FixedDisplays final : public DisplayProviding {
 public:
  explicit FixedDisplays(std::vector<DisplayInfo> displays) : list(std::move(displays)) {}
  ~FixedDisplays() override { changes_.finish(); }
  asio::awaitable<std::vector<DisplayInfo>> displays() override { co_return list; }
  AsyncStream<Change> changes() override { return changes_; }
  void change() { changes_.yield(Change{}); }

  std::vector<DisplayInfo> list;

 private:
  AsyncStream<Change> changes_;
};

// A capture source that records what it is told, fails when told to, and delivers the frames
// and stops the test gives it.
class FakeCaptureSource final : public CaptureSource {
 public:
  ~FakeCaptureSource() override { stops_.finish(); }
  asio::awaitable<void> setScope(CaptureScope value) override {
    scope = value;
    co_return;
  }
  asio::awaitable<void> start(DisplayInfo display, Viewport viewport, FrameHandler handler) override {
    calls.push_back("start " + std::to_string(display.id));
    if (failure) throw std::runtime_error(*failure);
    running = true;
    onFrame = std::move(handler);
    lastViewport = viewport;
    co_return;
  }
  asio::awaitable<void> update(DisplayInfo display, Viewport viewport) override {
    calls.push_back("update " + std::to_string(display.id));
    if (failure) throw std::runtime_error(*failure);
    lastViewport = viewport;
    co_return;
  }
  asio::awaitable<void> stop() override {
    calls.push_back("stop");
    running = false;
    co_return;
  }
  AsyncStream<CaptureStop> stops() override { return stops_; }
  // Capture ends by itself, as when its display went away.
  void stopByItself(std::uint32_t displayID, std::string description) {
    running = false;
    stops_.yield(CaptureStop{displayID, std::move(description)});
  }

  std::vector<std::string> calls;
  std::optional<std::string> failure;  // start() and update() throw it
  bool running = false;
  CaptureScope scope;
  std::optional<Viewport> lastViewport;
  FrameHandler onFrame;

 private:
  AsyncStream<CaptureStop> stops_;
};

// Records what the session asked it to inject.
class RecordingInjector final : public InputInjector {
 public:
  struct PointerCall {
    PointerEvent event;
    std::optional<DisplayInfo> display;
  };

  void key(const KeyEvent& event) override {
    if (failure) throw std::runtime_error(*failure);
    keys.push_back(event);
  }
  void typeText(std::string_view text) override { texts.emplace_back(text); }
  void pointer(const PointerEvent& event, const std::optional<DisplayInfo>& display) override {
    pointers.push_back({event, display});
  }
  std::optional<Point> resyncCursor(double) override { return position; }
  void warp(Point to) override { position = to; }
  void releaseAll() override { ++releases; }

  std::vector<KeyEvent> keys;
  int releases = 0;
  std::optional<std::string> failure;  // key() throws it
  std::vector<std::string> texts;
  std::vector<PointerCall> pointers;
  std::optional<Point> position;
};

class MemoryPasteboard final : public PasteboardProviding {
 public:
  std::int64_t changeCount() const override { return count; }
  asio::awaitable<PasteboardText> readText(std::size_t maxBytes) override {
    if (text && text->size() > maxBytes) co_return PasteboardText{std::nullopt, text->size()};
    co_return PasteboardText{text, std::nullopt};
  }
  bool writeText(std::string_view value) override {
    text = std::string(value);
    ++count;
    return true;
  }
  bool writeFiles(std::vector<PasteboardFile>) override { return false; }

  std::int64_t count = 41;
  std::optional<std::string> text;
};

// Counts assertions as a power manager's set of held assertions does.
class CountingPowerManager final : public PowerManaging {
 public:
  std::optional<AssertionID> holdDisplayAwake(std::string_view name) override {
    std::lock_guard lock(mutex);
    names.emplace_back(name);
    held.push_back(++lastID);
    return lastID;
  }
  bool release(AssertionID id) override {
    std::lock_guard lock(mutex);
    auto found = std::find(held.begin(), held.end(), id);
    if (found == held.end()) return false;
    held.erase(found);
    ++releases;
    return true;
  }
  void releaseAll() override {
    std::lock_guard lock(mutex);
    releases += static_cast<int>(held.size());
    held.clear();
  }
  void wakeDisplay() override { ++wakes; }

  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<AssertionID> held;
  AssertionID lastID = 0;
  int releases = 0;
  std::optional<std::string> failure;  // key() throws it
  int wakes = 0;
};

// A gate that has admitted `deviceID` (or nobody) and passes session traffic, or that
// consumes everything.
class FakeGate final : public HostAuthGating {
 public:
  asio::awaitable<void> start() override {
    ++starts;
    co_return;
  }
  asio::awaitable<AuthVerdict> handle(Message message) override {
    offered.push_back(message);
    co_return consumeAll ? AuthVerdict::consumed : AuthVerdict::proceed;
  }
  asio::awaitable<void> connectionClosed() override {
    ++closes;
    co_return;
  }
  asio::awaitable<std::optional<UUID>> authenticatedDeviceID() override { co_return deviceID; }
  asio::awaitable<std::optional<Bytes>> authenticatedPublicKey() override { co_return publicKey; }

  std::optional<UUID> deviceID;
  std::optional<Bytes> publicKey;
  bool consumeAll = false;
  int starts = 0;
  int closes = 0;
  std::vector<Message> offered;
};

// Keeps what is logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = platform::setLogObserver([this](const platform::LogRecord& r) { records.push_back(r); });
  }
  ~LogCapture() { platform::setLogObserver(previous_); }
  std::vector<std::string> containing(const std::string& text) const {
    std::vector<std::string> lines;
    for (const auto& r : records) {
      if (r.message.find(text) != std::string::npos) lines.push_back(r.message);
    }
    return lines;
  }
  std::vector<platform::LogRecord> records;

 private:
  platform::LogObserver previous_;
};

// An environment of doubles: two displays (the main one second), an encoder that makes
// both host profiles, every reading "awake, permitted", remote access not set up.
struct TestServices {
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<FixedEncoderFactory> encoders =
      std::make_shared<FixedEncoderFactory>(std::vector{CodecProfile::hevcMain, CodecProfile::hevcMain444});
  std::shared_ptr<FixedDisplays> displays = std::make_shared<FixedDisplays>(std::vector<DisplayInfo>{
      {7, "Left", false, 1920, 1080, {-1920, 0, 1920, 1080}}, {3, "Main", true, 2560, 1440, {0, 0, 1280, 720}}});
  std::shared_ptr<RecordingInjector> injector = std::make_shared<RecordingInjector>();
  std::shared_ptr<MemoryPasteboard> pasteboard = std::make_shared<MemoryPasteboard>();
  std::shared_ptr<CountingPowerManager> power = std::make_shared<CountingPowerManager>();
  std::shared_ptr<ClickRecord> clicks = std::make_shared<ClickRecord>();
  bool screenRecordingGranted = true;
  bool displayAsleep = false;
  std::vector<bool> wakeRequests;
  std::optional<RelayProvision> provision;
  std::vector<Bytes> provisionKeys;
  std::vector<std::shared_ptr<FakeCaptureSource>> captures;  // every source a session made
  std::optional<std::string> captureFailure;                 // given to each new source

  HostEnvironment environment();
};

}  // namespace brindlet::host::testing
