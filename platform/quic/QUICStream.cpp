#include "platform/quic/QUICStream.h"

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include "platform/quic/QUICGroupImpl.h"

namespace brindlet::platform {

namespace {
const QUICTransportError kGone{"connection closed"};
}

QUICStream::QUICStream(std::weak_ptr<QUICGroupImpl> group, Strand strand, std::int64_t id)
    : group_(std::move(group)), strand_(strand), id_(id) {}

void QUICStream::setStateHandler(StateHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->stateHandler_ = std::move(handler);
  });
}

void QUICStream::start() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    if (auto group = self->group_.lock()) {
      group->streamStart(self);
    } else if (!self->ended_) {
      self->ended_ = true;
      asio::post(self->strand_, [self] {
        if (self->stateHandler_) self->stateHandler_(QUICStreamState::failed, kGone);
      });
    }
  });
}

void QUICStream::send(Bytes data, bool isComplete, SendCompletion completion) {
  asio::dispatch(strand_, [self = shared_from_this(), data = std::move(data), isComplete,
                           completion = std::move(completion)]() mutable {
    if (auto group = self->group_.lock()) {
      group->streamSend(self, std::move(data), isComplete, std::move(completion));
    } else if (completion) {
      asio::post(self->strand_, [completion] { completion(kGone); });
    }
  });
}

void QUICStream::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  asio::dispatch(strand_, [self = shared_from_this(), minimum, maximum, completion = std::move(completion)]() mutable {
    if (auto group = self->group_.lock()) {
      group->streamReceive(self, PendingReceive{minimum, maximum, std::move(completion)});
    } else {
      asio::post(self->strand_, [completion] { completion({}, false, kGone); });
    }
  });
}

void QUICStream::cancel() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    if (auto group = self->group_.lock()) group->streamCancel(self);
  });
}

}  // namespace brindlet::platform
