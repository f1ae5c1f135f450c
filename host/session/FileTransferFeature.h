#pragma once

// Files the device sends to this computer: the session's file receiver, made on the first file
// message and kept for the rest of the session. Without an inbox in the environment an offer
// is refused; without a clipboard a finished transfer fails, as the files cannot be placed.

#include <memory>

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class FileReceiver;
class SessionDispatch;

class FileTransferFeature {
 public:
  explicit FileTransferFeature(SessionCore& core);
  ~FileTransferFeature();

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onFileOffer(const msg::FileOffer& message);
  asio::awaitable<void> onFileChunk(const msg::FileChunk& message);
  asio::awaitable<void> onFileEnd(const msg::FileEnd& message);
  asio::awaitable<void> onFileCancel(const msg::FileCancel& message);

  // The session ends: a transfer in progress is dropped and its folder removed.
  void stop();

 private:
  FileReceiver& receiverForTransfer();

  SessionCore& core_;
  std::unique_ptr<FileReceiver> receiver_;
};

}  // namespace brindlet::host
