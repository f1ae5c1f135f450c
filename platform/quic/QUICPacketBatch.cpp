#include "platform/quic/QUICPacketBatch.h"

namespace brindlet::platform {

QUICPacketBatch::QUICPacketBatch(std::size_t capacity, Sender sender)
    : buffer_(capacity), sender_(std::move(sender)) {}

QUICPacketBatch::Outcome QUICPacketBatch::push(std::size_t size, std::size_t maxPayload, std::size_t maxPackets) {
  // A larger packet cannot join a run of smaller ones: the run leaves first, and the packet
  // (already in the buffer, after it) opens the next one.
  bool sentBefore = false;
  if (open_.packets > 0 && size > open_.segment) {
    closeOpenRun();
    sentBefore = true;
  }
  if (open_.packets == 0) open_ = Run{end_, 0, size, 0};
  open_.size += size;
  ++open_.packets;
  end_ += size;
  bool full = open_.packets >= maxPackets;
  if (size < open_.segment || full || end_ + maxPayload > buffer_.size()) {
    closeOpenRun();
  } else if (!sentBefore) {
    return Outcome::gathering;
  }
  if (!sendClosedRuns()) return Outcome::blocked;
  return full ? Outcome::runFull : Outcome::sent;
}

bool QUICPacketBatch::flush() {
  closeOpenRun();
  return sendClosedRuns();
}

void QUICPacketBatch::clear() {
  closed_.clear();
  open_ = Run{};
  end_ = 0;
  blocked_ = false;
}

void QUICPacketBatch::closeOpenRun() {
  if (open_.packets == 0) return;
  closed_.push_back(open_);
  open_ = Run{};
}

bool QUICPacketBatch::sendClosedRuns() {
  while (!closed_.empty()) {
    Run& run = closed_.front();
    std::size_t sent = sender_(buffer_.data() + run.offset, run.size, run.segment);
    if (sent < run.size) {
      // The socket took the first packets only: the rest of the run waits where it is.
      run.offset += sent;
      run.size -= sent;
      blocked_ = true;
      return false;
    }
    closed_.pop_front();
  }
  blocked_ = false;
  if (open_.packets == 0) end_ = 0;
  return true;
}

}  // namespace brindlet::platform
