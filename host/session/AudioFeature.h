#pragma once

// The computer's system audio for the device: off, on for the device only (the local speakers
// fall silent meanwhile) or on for both. The one system-wide tap belongs to one session at a
// time (AudioTapArbiter); a session that takes it over ends the audio of the one that had it,
// including a start still under way there, so only the newest owner streams.

#include <cstdint>
#include <memory>
#include <vector>

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/UUID.h"
#include "platform/support/WorkerThread.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AudioPipeline;
class SessionDispatch;

class AudioFeature {
 public:
  explicit AudioFeature(SessionCore& core) : core_(core), ownerID_(UUID::random()) {}
  ~AudioFeature();

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onSetAudio(const msg::SetAudio& message);

  // The session's end: discards a start in flight, stops the audio and frees the tap.
  void end();

  AudioMode mode() const { return mode_; }
  bool isPlaying() const { return pipeline_ != nullptr; }

 private:
  void stopAudio();
  // Another session took the tap from the request of `generation`.
  void takenOver(std::uint64_t generation);
  // Starts `pipeline` on a thread of its own; throws what its start threw.
  asio::awaitable<void> startPipeline(std::shared_ptr<AudioPipeline> pipeline);

  SessionCore& core_;
  const UUID ownerID_;
  AudioMode mode_ = AudioMode::off;
  std::shared_ptr<AudioPipeline> pipeline_;
  std::uint64_t generation_ = 0;
  // The threads that start pipelines (starting blocks on the sound server).
  std::vector<platform::WorkerThread> starters_;
};

}  // namespace brindlet::host
