#include "host/session/AudioFeature.h"

#include "host/HostLog.h"
#include "host/capture/AudioCapturing.h"
#include "host/capture/AudioPipeline.h"
#include "host/capture/AudioTapArbiter.h"
#include "host/session/SessionDispatch.h"

#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/system_error.hpp>
#include <asio/use_awaitable.hpp>

namespace brindlet::host {

namespace {

constexpr const char* permissionDetail = "Allow System Audio Recording for Nolu Host on the Mac";
constexpr const char* takenOverDetail = "Another device is using the Mac's audio";

}  // namespace

void AudioFeature::registerHandlers(SessionDispatch& d) { d.on<&AudioFeature::onSetAudio>(); }

AudioFeature::~AudioFeature() {
  if (pipeline_) pipeline_->stop();
}

asio::awaitable<void> AudioFeature::onSetAudio(const msg::SetAudio& message) {
  const AudioMode mode = message.mode;
  if (!core_.client() || core_.sessionStatus().phase == SessionStatus::Phase::ended) co_return;
  if (mode == mode_ && (mode == AudioMode::off || pipeline_)) co_return;
  const std::uint64_t generation = ++generation_;
  stopAudio();
  mode_ = mode;
  const HostEnvironment& env = core_.env();

  if (mode == AudioMode::off) {
    if (env.audioArbiter) env.audioArbiter->release(ownerID_);
    sessionLog().info("audio off");
    core_.send(msg::AudioStatus{AudioStatus::off, std::nullopt});
    co_return;
  }

  if (!env.audioArbiter || !env.makeAudioCapture || !env.audioEncoders) {
    mode_ = AudioMode::off;
    const char* text = UnavailableAudioCapture::text;
    sessionLog().error("audio failed: %s", text);
    core_.send(msg::AudioStatus{AudioStatus::failed, std::string(text)});
    co_return;
  }

  std::weak_ptr<AudioFeature> weak = core_.weakFeature(this);
  const Strand strand = core_.strand();
  env.audioArbiter->claim(ownerID_, [weak, strand, generation] {
    asio::post(strand, [weak, generation] {
      if (auto self = weak.lock()) self->takenOver(generation);
    });
  });

  auto connection = core_.connection();
  AudioSink sink;
  sink.config = [connection](const AudioStreamConfig& config) {
    connection->send(msg::AudioConfig{config.sampleRate, config.channels, config.codec, config.magicCookie});
  };
  sink.packet = [connection](const AudioPacket& packet) { return connection->sendAudio(packet); };
  auto pipeline = std::make_shared<AudioPipeline>(mode, env.makeAudioCapture(), env.audioEncoders, std::move(sink));
  auto arbiter = env.audioArbiter;
  const UUID owner = ownerID_;

  std::exception_ptr failure;
  try {
    co_await startPipeline(pipeline);
  } catch (const asio::system_error& error) {
    if (error.code() == asio::error::operation_aborted) {
      pipeline->stop();
      throw;
    }
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }

  auto self = weak.lock();
  if (!self) {
    pipeline->stop();
    co_return;
  }
  // A newer request, the session's end or another session's claim came meanwhile: this
  // start is void, whatever its outcome.
  if (generation != generation_ || core_.sessionStatus().phase == SessionStatus::Phase::ended ||
      arbiter->ownerID() != owner) {
    pipeline->stop();
    co_return;
  }
  if (!failure) {
    pipeline_ = pipeline;
    sessionLog().info("audio on mode=%hhu", static_cast<unsigned char>(mode));
    core_.send(msg::AudioStatus{AudioStatus::playing, std::nullopt});
    co_return;
  }
  mode_ = AudioMode::off;
  arbiter->release(ownerID_);
  std::string text;
  bool denied = false;
  try {
    std::rethrow_exception(failure);
  } catch (const AudioCaptureError& error) {
    text = error.what();
    denied = error.kind() == AudioCaptureError::Kind::permissionDenied;
  } catch (const std::exception& error) {
    text = error.what();
  }
  sessionLog().error("audio failed: %s", text.c_str());
  if (denied) {
    core_.send(msg::AudioStatus{AudioStatus::permissionMissing, std::string(permissionDetail)});
  } else {
    core_.send(msg::AudioStatus{AudioStatus::failed, text});
  }
}

asio::awaitable<void> AudioFeature::startPipeline(std::shared_ptr<AudioPipeline> pipeline) {
  // Finished threads are joined here, before a new one starts.
  std::erase_if(starters_, [](platform::WorkerThread& t) { return !t.isRunning(); });
  auto& starters = starters_;
  const Strand strand = core_.strand();
  return asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr)>(
      [&starters, strand, pipeline](auto handler) mutable {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        starters.emplace_back([strand, pipeline, shared](std::stop_token) {
          std::exception_ptr failure;
          try {
            pipeline->start();
          } catch (...) {
            failure = std::current_exception();
          }
          asio::post(strand, [shared, failure] { std::move (*shared)(failure); });
        });
      },
      asio::use_awaitable);
}

void AudioFeature::stopAudio() {
  if (!pipeline_) return;
  pipeline_->stop();
  pipeline_.reset();
}

void AudioFeature::takenOver(std::uint64_t generation) {
  // A revoke of an older request, superseded by this session's own later one, changes nothing.
  if (generation != generation_ || mode_ == AudioMode::off) return;
  ++generation_;  // a start still under way is discarded when it returns
  stopAudio();
  mode_ = AudioMode::off;
  sessionLog().info("audio taken over by another session");
  core_.send(msg::AudioStatus{AudioStatus::off, std::string(takenOverDetail)});
}

void AudioFeature::end() {
  ++generation_;
  stopAudio();
  mode_ = AudioMode::off;
  if (core_.env().audioArbiter) core_.env().audioArbiter->release(ownerID_);
}

}  // namespace brindlet::host
