#include "host/session/AudioFeature.h"

#include "host/HostLog.h"
#include "host/capture/AudioCapturing.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void AudioFeature::registerHandlers(SessionDispatch& d) { d.on<&AudioFeature::onSetAudio>(); }

asio::awaitable<void> AudioFeature::onSetAudio(const msg::SetAudio& message) {
  // Audio is off and stays off: turning it off again changes nothing and is not answered.
  if (message.mode == AudioMode::off) {
    core_.reportUnavailable<msg::SetAudio>("audio");
    co_return;
  }
  const char* text = UnavailableAudioCapture::text;
  sessionLog().error("audio failed: %s", text);
  core_.send(msg::AudioStatus{AudioStatus::failed, text});
}

}  // namespace brindlet::host
