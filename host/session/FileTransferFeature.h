#pragma once

// Files the device sends to this computer. This host cannot save them yet: an offer is
// rejected (with the limits' text when it breaks them), so no chunk ever belongs to a
// transfer.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class FileTransferFeature {
 public:
  explicit FileTransferFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onFileOffer(const msg::FileOffer& message);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
