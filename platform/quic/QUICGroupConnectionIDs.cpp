#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>

namespace brindlet::platform {

int QUICGroupImpl::onNewConnectionID(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length) {
  cid->datalen = length;
  tlsRandomBytes(cid->data, length);
  tlsRandomBytes(token, NGTCP2_STATELESS_RESET_TOKENLEN);
  Bytes id = cidBytes(*cid);
  connectionIDs_.push_back(id);
  if (hooks_.addConnectionID) hooks_.addConnectionID(id, shared_from_this());
  return 0;
}

int QUICGroupImpl::onRemoveConnectionID(const ngtcp2_cid* cid) {
  Bytes id = cidBytes(*cid);
  connectionIDs_.erase(std::remove(connectionIDs_.begin(), connectionIDs_.end(), id), connectionIDs_.end());
  if (hooks_.removeConnectionID) hooks_.removeConnectionID(id);
  return 0;
}

}  // namespace brindlet::platform
