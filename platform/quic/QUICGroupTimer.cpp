#include "platform/quic/QUICGroupImpl.h"

#include <chrono>
#include <ctime>

#include <asio/defer.hpp>

namespace brindlet::platform {

ngtcp2_tstamp quicTimestamp() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ngtcp2_tstamp>(now.tv_sec) * NGTCP2_SECONDS + static_cast<ngtcp2_tstamp>(now.tv_nsec);
}

void QUICGroupImpl::armTimer() {
  if (ended_ || !conn_) return;
  ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(conn_);
  if (expiry > quicTimestamp()) {
    dueChecksInARow_ = 0;
  } else if (dueChecksInARow_ < kMaxDueChecksInARow) {
    // Already due: after each write the stack's pacing clock lies a moment behind, and so
    // does an acknowledgement owed at once. The stack looks at it at the end of this strand
    // turn, without the system's timer: arming that for "now" costs several system calls and
    // a wake-up of the event loop twice a message. A timer armed for later stays as it is.
    // Something that stays due however often the stack looks goes through the system's
    // timer, as anything later does, so that it cannot keep the thread to itself.
    if (dueCheckScheduled_) return;
    dueCheckScheduled_ = true;
    ++dueChecksInARow_;
    asio::defer(strand_, [weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      self->dueCheckScheduled_ = false;
      self->onTimer();
    });
    return;
  }
  // A timer armed for an earlier moment stays: firing early only lets the stack look at its
  // clock (and the timer is armed again for what is due then). Moving it after every write
  // would reprogram the system's timer several times a round trip.
  // (Nothing due: UINT64_MAX, never earlier.)
  if (armedExpiry_ <= expiry) return;
  armedExpiry_ = expiry;
  ngtcp2_tstamp now = quicTimestamp();
  timer_.expires_after(std::chrono::nanoseconds(expiry > now ? expiry - now : 0));
  timer_.async_wait([weak = weak_from_this()](std::error_code error) {
    if (error) return;
    if (auto self = weak.lock()) {
      self->armedExpiry_ = UINT64_MAX;
      self->dueChecksInARow_ = 0;
      self->onTimer();
    }
  });
}

void QUICGroupImpl::onTimer() {
  if (ended_ || !conn_) return;
  int rv = ngtcp2_conn_handle_expiry(conn_, quicTimestamp());
  if (rv == NGTCP2_ERR_IDLE_CLOSE) {
    stackEnded_ = true;
    end(QUICGroupState::failed, std::string("idle timeout"));
    return;
  }
  if (rv == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
    stackEnded_ = true;
    end(QUICGroupState::failed, std::string("QUIC handshake timed out"));
    return;
  }
  if (rv != 0) {
    closeWithLibraryError(rv);
    return;
  }
  writePackets();
}

}  // namespace brindlet::platform
