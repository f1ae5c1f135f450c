#pragma once
// Test doubles for the capture roles: an encoder that records what it is asked to do, and a
// connection that records the video frames it takes and refuses them on demand.
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/VideoEncoder.h"
#include "kit/transport/Connection.h"

namespace brindlet::testing {

class RecordingEncoder : public host::VideoEncoder {
 public:
  struct Call {
    host::CapturedFrame frame;
    bool forceKeyframe;
    bool highQuality;
    bool key;  // what the frame became
  };

  explicit RecordingEncoder(host::EncoderOutputHandler output = nullptr) : output_(std::move(output)) {}

  CodecProfile activeProfile() const override { return CodecProfile::hevcMain; }
  void encode(const host::CapturedFrame& frame, bool forceKeyframe, bool highQuality) override {
    bool key;
    uint64_t number;
    std::optional<std::string> failure;
    {
      std::lock_guard g(lock_);
      failure = failure_;
      key = forceNext_ || forceKeyframe;
      forceNext_ = false;
      calls_.push_back({frame, forceKeyframe, highQuality, key});
      number = calls_.size();
    }
    if (output_ && failure) {
      output_(host::EncoderOutput{host::EncoderOutput::Failed{*failure}});
    } else if (output_) {
      VideoFrame out;
      out.frameNumber = number;
      out.isKeyframe = key;
      out.payload = Bytes(100, 1);
      if (key) out.parameterSets = {Bytes{1, 2, 3}};
      output_(host::EncoderOutput{host::EncoderOutput::Frame{out, 1.5}});
    }
  }
  void invalidate() override {
    std::lock_guard g(lock_);
    ++invalidations_;
  }
  void requestKeyframe() override {
    std::lock_guard g(lock_);
    forceNext_ = true;
  }
  bool keyframePending() const override {
    std::lock_guard g(lock_);
    return forceNext_;
  }
  void setBitrate(int64_t) override {}

  // From now on every frame fails with `text` (nothing: frames come out again).
  void failWith(std::optional<std::string> text) {
    std::lock_guard g(lock_);
    failure_ = std::move(text);
  }

  std::vector<Call> calls() const {
    std::lock_guard g(lock_);
    return calls_;
  }
  int invalidations() const {
    std::lock_guard g(lock_);
    return invalidations_;
  }

 private:
  host::EncoderOutputHandler output_;
  mutable std::mutex lock_;
  bool forceNext_ = true;
  std::vector<Call> calls_;
  int invalidations_ = 0;
  std::optional<std::string> failure_;
};

class RecordingConnection : public Connection {
 public:
  AsyncStream<ConnectionState> states() override { return states_; }
  AsyncStream<Message> messages() override { return messages_; }
  AsyncStream<VideoFrame> videoFrames() override { return {}; }
  void send(const Message& message) override {
    std::lock_guard g(lock_);
    sent_.push_back(message);
  }
  bool sendVideo(const VideoFrame& frame) override {
    std::lock_guard g(lock_);
    bool ok = refuse_ == 0;
    if (refuse_ > 0) --refuse_;
    if (ok) frames_.push_back(frame);
    return ok;
  }
  bool sendAudio(const AudioPacket&) override { return false; }
  void close() override { messages_.finish(); }
  std::optional<Bytes> peerFingerprint() const override { return std::nullopt; }
  std::optional<Bytes> exporter() const override { return std::nullopt; }

  // The next `count` video frames are refused, as a full in-flight budget does.
  void refuseNext(int count) {
    std::lock_guard g(lock_);
    refuse_ = count;
  }
  std::vector<VideoFrame> frames() const {
    std::lock_guard g(lock_);
    return frames_;
  }

 private:
  mutable std::mutex lock_;
  int refuse_ = 0;
  std::vector<VideoFrame> frames_;
  std::vector<Message> sent_;
  AsyncStream<ConnectionState> states_;
  AsyncStream<Message> messages_;
};

}  // namespace brindlet::testing
