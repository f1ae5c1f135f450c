#include "host/session/SessionDispatch.h"

#include "host/session/AppsFeature.h"
#include "host/session/AudioFeature.h"
#include "host/session/ClipboardFeature.h"
#include "host/session/CursorFeature.h"
#include "host/session/FileTransferFeature.h"
#include "host/session/HostSession.h"
#include "host/session/InputFeature.h"
#include "host/session/MenuActionsFeature.h"
#include "host/session/StreamingFeature.h"
#include "host/session/ThumbnailsFeature.h"
#include "host/session/WindowFocusFeature.h"

namespace brindlet::host {

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
  CursorFeature::registerHandlers(d);
  ThumbnailsFeature::registerHandlers(d);
  return d;
}

const SessionDispatch& SessionDispatch::standard() {
  static const SessionDispatch table = build();
  return table;
}

}  // namespace brindlet::host
