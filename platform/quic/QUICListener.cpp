#include "platform/quic/QUICListener.h"

#include <algorithm>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include "platform/quic/QUICGroupImpl.h"
#include "platform/quic/QUICSocket.h"

namespace brindlet::platform {

namespace {
constexpr std::size_t kShortHeaderConnectionIDLength = 16;
}

QUICListener::QUICListener(asio::io_context& context, QUICParameters parameters)
    : context_(context), strand_(asio::make_strand(context)), parameters_(std::move(parameters)) {}

std::shared_ptr<QUICListener> QUICListener::make(asio::io_context& context, QUICParameters parameters) {
  return std::shared_ptr<QUICListener>(new QUICListener(context, std::move(parameters)));
}

std::error_code QUICListener::listen(const asio::ip::udp::endpoint& at) {
  if (!parameters_.localIdentity) return std::make_error_code(std::errc::invalid_argument);
  std::error_code error;
  auto socket = QUICSocket::open(strand_, at, nullptr, error);
  if (!socket) return error;
  port_ = socket->localEndpoint().port();
  std::weak_ptr<QUICListener> weak = weak_from_this();
  asio::dispatch(strand_, [self = shared_from_this(), socket, weak] {
    self->socket_ = socket;
    socket->startReceiving(
        [weak](const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from) {
          if (auto listener = weak.lock()) listener->onDatagram(data, size, from);
        },
        [weak] {
          if (auto listener = weak.lock()) listener->onBurstEnd();
        },
        nullptr);
  });
  return {};
}

void QUICListener::setNewGroupHandler(GroupHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->handler_ = std::move(handler);
  });
}

std::size_t QUICListener::connectionCount() const { return count_.load(); }

void QUICListener::onDatagram(const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from) {
  if (cancelled_ || size == 0) return;
  ngtcp2_version_cid versionCID{};
  if (ngtcp2_pkt_decode_version_cid(&versionCID, data, size, kShortHeaderConnectionIDLength) != 0) return;
  Bytes id(versionCID.dcid, versionCID.dcid + versionCID.dcidlen);
  std::shared_ptr<QUICGroupImpl> group;
  if (auto found = byConnectionID_.find(id); found != byConnectionID_.end()) {
    group = found->second;
  } else {
    ngtcp2_pkt_hd header{};
    if (ngtcp2_accept(&header, data, size) != 0) return;
    if (groups_.size() >= kMaxConnections) return;
    std::weak_ptr<QUICListener> weak = weak_from_this();
    QUICGroupImpl::ListenerHooks hooks;
    hooks.addConnectionID = [weak](const Bytes& cid, std::shared_ptr<QUICGroupImpl> owner) {
      if (auto self = weak.lock()) self->byConnectionID_[cid] = std::move(owner);
    };
    hooks.removeConnectionID = [weak](const Bytes& cid) {
      if (auto self = weak.lock()) self->byConnectionID_.erase(cid);
    };
    hooks.established = [weak](std::shared_ptr<QUICGroupImpl> established) {
      auto self = weak.lock();
      if (!self) return;
      asio::post(self->strand_, [self, established] {
        if (self->handler_ && !self->cancelled_) self->handler_(established);
      });
    };
    hooks.gone = [weak](std::shared_ptr<QUICGroupImpl> gone) {
      if (auto self = weak.lock()) self->forget(gone);
    };
    Bytes initialID;
    group = QUICGroupImpl::accept(context_, strand_, socket_, parameters_, header, from, std::move(hooks), initialID);
    if (!group) return;
    groups_.insert(group);
    count_.store(groups_.size());
    byConnectionID_[initialID] = group;
    for (const Bytes& cid : group->connectionIDs()) byConnectionID_[cid] = group;
  }
  group->receiveDatagram(data, size);
  if (std::find(touched_.begin(), touched_.end(), group) == touched_.end()) touched_.push_back(group);
}

void QUICListener::onBurstEnd() {
  auto touched = std::move(touched_);
  touched_.clear();
  for (auto& group : touched) group->afterReceiving();
}

void QUICListener::forget(const std::shared_ptr<QUICGroupImpl>& group) {
  for (auto it = byConnectionID_.begin(); it != byConnectionID_.end();) {
    if (it->second == group) {
      it = byConnectionID_.erase(it);
    } else {
      ++it;
    }
  }
  groups_.erase(group);
  count_.store(groups_.size());
}

void QUICListener::cancel() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    if (self->cancelled_) return;
    self->cancelled_ = true;
    auto groups = self->groups_;
    for (auto& group : groups) group->cancel();
    if (self->socket_) self->socket_->close();
    self->handler_ = nullptr;
  });
}

}  // namespace brindlet::platform
