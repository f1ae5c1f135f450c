#include "host/session/SessionDispatch.h"

#include "host/session/ClipboardFeature.h"
#include "host/session/HostSession.h"
#include "host/session/InputFeature.h"
#include "host/session/StreamingFeature.h"

namespace brindlet::host {

namespace {

// The device messages whose features come with the app, window, audio, file, cursor and
// action work of the session.
void registerFeaturesNotBuiltYet(SessionDispatch& d) {
  d.later<msg::SetThumbnails>("display thumbnails");
  d.later<msg::RequestCursorShape>("cursor shapes");
  d.later<msg::SetAppListUpdates>("app lists");
  d.later<msg::ActivateApp>("app activation");
  d.later<msg::Focus>("window focus");
  d.later<msg::WindowThumbnails>("window thumbnails");
  d.later<msg::SetAudio>("audio");
  d.later<msg::RequestAppIcons>("app icons");
  d.later<msg::LaunchApp>("launching apps");
  d.later<msg::LaunchControl>("launching apps");
  d.later<msg::QuitApp>("quitting apps");
  d.later<msg::FileOffer>("receiving files");
  d.later<msg::FileChunk>("receiving files");
  d.later<msg::FileEnd>("receiving files");
  d.later<msg::FileCancel>("receiving files");
  d.later<msg::WatchActions>("menu actions");
  d.later<msg::PerformAction>("menu actions");
  d.later<msg::FocusBack>("window focus");
  d.later<msg::Unfocus>("window focus");
  d.later<msg::RequestInstalledApps>("installed apps");
}

}  // namespace

SessionDispatch SessionDispatch::build() {
  SessionDispatch d;
  registerFeaturesNotBuiltYet(d);
  HostSession::registerHandlers(d);
  StreamingFeature::registerHandlers(d);
  InputFeature::registerHandlers(d);
  ClipboardFeature::registerHandlers(d);
  return d;
}

const SessionDispatch& SessionDispatch::standard() {
  static const SessionDispatch table = build();
  return table;
}

}  // namespace brindlet::host
