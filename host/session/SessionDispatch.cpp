#include "host/session/SessionDispatch.h"

#include "host/session/AppsFeature.h"
#include "host/session/AudioFeature.h"
#include "host/session/ClipboardFeature.h"
#include "host/session/FileTransferFeature.h"
#include "host/session/HostSession.h"
#include "host/session/InputFeature.h"
#include "host/session/MenuActionsFeature.h"
#include "host/session/StreamingFeature.h"
#include "host/session/WindowFocusFeature.h"

namespace brindlet::host {

namespace {

// The device messages of the cursor and display-thumbnail work, which expect no answer.
void registerCursorAndThumbnailsNotBuiltYet(SessionDispatch& d) {
  d.later<msg::SetThumbnails>("display thumbnails");
  d.later<msg::RequestCursorShape>("cursor shapes");
}

}  // namespace

SessionDispatch SessionDispatch::build() {
  SessionDispatch d;
  HostSession::registerHandlers(d);
  StreamingFeature::registerHandlers(d);
  InputFeature::registerHandlers(d);
  ClipboardFeature::registerHandlers(d);
  AudioFeature::registerHandlers(d);
  WindowFocusFeature::registerHandlers(d);
  AppsFeature::registerHandlers(d);
  FileTransferFeature::registerHandlers(d);
  MenuActionsFeature::registerHandlers(d);
  registerCursorAndThumbnailsNotBuiltYet(d);
  return d;
}

const SessionDispatch& SessionDispatch::standard() {
  static const SessionDispatch table = build();
  return table;
}

}  // namespace brindlet::host
