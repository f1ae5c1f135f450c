#include "host/session/FileTransferFeature.h"

#include "host/session/SessionDispatch.h"
#include "kit/protocol/FileTransferLimits.h"

namespace brindlet::host {

void FileTransferFeature::registerHandlers(SessionDispatch& d) {
  d.on<&FileTransferFeature::onFileOffer>();
  d.later<msg::FileChunk>("receiving files");
  d.later<msg::FileEnd>("receiving files");
  d.later<msg::FileCancel>("receiving files");
}

asio::awaitable<void> FileTransferFeature::onFileOffer(const msg::FileOffer& message) {
  std::string detail = FileTransferLimits::validateOffer(message.files).value_or("Couldn't save files on the Mac");
  core_.send(msg::FileStatus{message.transferID, FileTransferState::rejected, 0, std::move(detail)});
  co_return;
}

}  // namespace brindlet::host
