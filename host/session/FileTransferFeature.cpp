#include "host/session/FileTransferFeature.h"

#include "host/control/ChangeCountBox.h"
#include "host/control/FileReceiver.h"
#include "host/control/PasteboardProviding.h"
#include "host/session/SessionDispatch.h"
#include "kit/protocol/FileTransferLimits.h"

namespace brindlet::host {

FileTransferFeature::FileTransferFeature(SessionCore& core) : core_(core) {}

FileTransferFeature::~FileTransferFeature() = default;

void FileTransferFeature::registerHandlers(SessionDispatch& d) {
  d.on<&FileTransferFeature::onFileOffer>();
  d.on<&FileTransferFeature::onFileChunk>();
  d.on<&FileTransferFeature::onFileEnd>();
  d.on<&FileTransferFeature::onFileCancel>();
}

FileReceiver& FileTransferFeature::receiverForTransfer() {
  if (!receiver_) {
    auto reply = [this](const Message& message) { core_.send(message); };
    // The change count after the files are placed is remembered, so the clipboard poll
    // does not take the files for a change of the user's.
    auto finish = [this](std::vector<PasteboardFile> files) {
      const auto& pasteboard = core_.env().pasteboard;
      if (!pasteboard || !pasteboard->writeFiles(std::move(files))) return false;
      core_.clipboardMark().set(pasteboard->changeCount());
      return true;
    };
    receiver_ =
        std::make_unique<FileReceiver>(*core_.env().inbox, core_.env().clock, std::move(reply), std::move(finish));
  }
  return *receiver_;
}

asio::awaitable<void> FileTransferFeature::onFileOffer(const msg::FileOffer& message) {
  if (!core_.env().inbox) {
    // Nowhere to save files: the offer is refused, with the limits' reason when it has one.
    std::string detail = FileTransferLimits::validateOffer(message.files).value_or("Couldn't save files on the Mac");
    core_.send(msg::FileStatus{message.transferID, FileTransferState::rejected, 0, std::move(detail)});
    co_return;
  }
  receiverForTransfer().handleOffer(message.transferID, message.files, message.kind);
  co_return;
}

asio::awaitable<void> FileTransferFeature::onFileChunk(const msg::FileChunk& message) {
  if (receiver_) receiver_->handleChunk(message.transferID, message.fileIndex, message.offset, message.data);
  co_return;
}

asio::awaitable<void> FileTransferFeature::onFileEnd(const msg::FileEnd& message) {
  if (receiver_) receiver_->handleEnd(message.transferID);
  co_return;
}

asio::awaitable<void> FileTransferFeature::onFileCancel(const msg::FileCancel& message) {
  if (receiver_) receiver_->handleCancel(message.transferID);
  co_return;
}

void FileTransferFeature::stop() {
  if (receiver_) receiver_->cancel();
}

}  // namespace brindlet::host
