#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>
#include <cstdio>

#include <asio/defer.hpp>
#include <asio/post.hpp>

namespace brindlet::platform {

namespace {
// "stream reset by peer (error 7)": what the peer did to a stream, with its error code.
std::string byPeer(const char* what, std::uint64_t code) {
  char text[64];
  std::snprintf(text, sizeof text, "stream %s by peer (error %llu)", what, static_cast<unsigned long long>(code));
  return text;
}
}  // namespace

std::shared_ptr<QUICStream> QUICGroupImpl::makeStream(std::int64_t id) {
  auto stream = std::make_shared<QUICStream>(weak_from_this(), strand_, id);
  streams_[id] = stream;
  return stream;
}

int QUICGroupImpl::onStreamOpened(std::int64_t id) {
  auto stream = makeStream(id);
  if (started_) {
    asio::post(strand_, [self = shared_from_this(), stream] {
      if (self->newStreamHandler_) self->newStreamHandler_(stream);
    });
  } else {
    waitingStreams_.push_back(stream);
  }
  return 0;
}

int QUICGroupImpl::onStreamData(std::int64_t id, std::uint32_t flags, const std::uint8_t* data, std::size_t size) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  QUICStream& stream = *found->second;
  if (stream.rxHead_ > 0 && stream.rxHead_ * 2 >= stream.rx_.size()) {
    stream.rx_.erase(stream.rx_.begin(), stream.rx_.begin() + static_cast<std::ptrdiff_t>(stream.rxHead_));
    stream.rxHead_ = 0;
  }
  stream.rx_.insert(stream.rx_.end(), data, data + size);
  if (flags & NGTCP2_STREAM_DATA_FLAG_FIN) stream.rxFin_ = true;
  stream.buffered_.store(stream.rx_.size() - stream.rxHead_);
  noteReceived(found->second);
  return 0;
}

void QUICGroupImpl::noteReceived(const std::shared_ptr<QUICStream>& stream) {
  if (stream->inReceivedList_) return;
  stream->inReceivedList_ = true;
  receivedInto_.push_back(stream);
}

int QUICGroupImpl::onStreamAcked(std::int64_t id, std::uint64_t offset, std::uint64_t length) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  QUICStream& stream = *found->second;
  stream.ackedOffset_ = std::max(stream.ackedOffset_, offset + length);
  releaseAcked(stream);
  return 0;
}

int QUICGroupImpl::onStreamClosed(std::int64_t id, std::uint32_t, std::uint64_t) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  auto stream = found->second;
  streams_.erase(found);
  stream->closedByStack_ = true;
  failSends(*stream, "stream closed");
  stream->tx_.clear();
  if (!stream->rxFin_ && !stream->rxError_) stream->rxError_ = "stream closed";
  noteReceived(stream);
  if (!ended_) asio::post(strand_, [self = shared_from_this(), stream] { self->deliver(stream); });
  return 0;
}

int QUICGroupImpl::onStreamReset(std::int64_t id, std::uint64_t code) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  found->second->rxError_ = byPeer("reset", code);
  noteReceived(found->second);
  return 0;
}

int QUICGroupImpl::onStreamStopSending(std::int64_t id, std::uint64_t code) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  found->second->txError_ = byPeer("stopped", code);
  failSends(*found->second, *found->second->txError_);
  return 0;
}

int QUICGroupImpl::onStreamCredit(std::int64_t id) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  QUICStream& stream = *found->second;
  stream.blocked_ = false;
  if (stream.hasSomethingToSend() && !stream.inSendQueue_) {
    stream.inSendQueue_ = true;
    sendQueue_.push_back(id);
  }
  return 0;
}

void QUICGroupImpl::advance(QUICStream& stream, std::uint64_t bytes, bool finWritten) {
  stream.sentOffset_ += bytes;
  if (finWritten && stream.sentOffset_ == stream.queuedOffset_) stream.finSent_ = true;
  for (auto& chunk : stream.tx_) {
    if (chunk.completed) continue;
    if (chunk.offset + chunk.data.size() > stream.sentOffset_ || (chunk.fin && !stream.finSent_)) break;
    chunk.completed = true;
    if (chunk.completion) {
      // Runs after this strand turn, on the thread that is running it.
      asio::defer(strand_, [completion = std::move(chunk.completion)] { completion(std::nullopt); });
      chunk.completion = nullptr;
    }
  }
  releaseAcked(stream);
}

void QUICGroupImpl::releaseAcked(QUICStream& stream) {
  while (!stream.tx_.empty()) {
    const auto& front = stream.tx_.front();
    if (!front.completed || front.offset + front.data.size() > stream.ackedOffset_) break;
    if (front.fin && !stream.finSent_) break;
    stream.tx_.pop_front();
  }
}

void QUICGroupImpl::failSends(QUICStream& stream, const std::string& reason) {
  for (auto& chunk : stream.tx_) {
    if (chunk.completed) continue;
    chunk.completed = true;
    if (chunk.completion) {
      asio::post(strand_,
                 [completion = std::move(chunk.completion), reason] { completion(QUICTransportError{reason}); });
      chunk.completion = nullptr;
    }
  }
  if (!stream.txError_) stream.txError_ = reason;
}

void QUICGroupImpl::reportStream(const std::shared_ptr<QUICStream>& stream, QUICStreamState state,
                                 std::optional<std::string> reason) {
  if (stream->ended_) return;
  if (state != QUICStreamState::ready) stream->ended_ = true;
  asio::post(strand_, [stream, state, reason = std::move(reason)] {
    if (!stream->stateHandler_) return;
    std::optional<QUICTransportError> error;
    if (reason) error = QUICTransportError{*reason};
    stream->stateHandler_(state, error);
  });
}

void QUICGroupImpl::streamStart(const std::shared_ptr<QUICStream>& stream) {
  if (ended_) {
    reportStream(stream, QUICStreamState::failed, endReason_.value_or("connection closed"));
    return;
  }
  reportStream(stream, QUICStreamState::ready, std::nullopt);
}

void QUICGroupImpl::streamSend(const std::shared_ptr<QUICStream>& stream, Bytes data, bool fin,
                               QUICStream::SendCompletion completion) {
  std::optional<std::string> refusal;
  if (ended_)
    refusal = endReason_.value_or("connection closed");
  else if (stream->txError_)
    refusal = *stream->txError_;
  else if (stream->finQueued_)
    refusal = "stream already ended";
  if (refusal) {
    if (completion) asio::post(strand_, [completion, reason = *refusal] { completion(QUICTransportError{reason}); });
    return;
  }
  QUICStream::Chunk chunk;
  chunk.offset = stream->queuedOffset_;
  chunk.fin = fin;
  chunk.completion = std::move(completion);
  stream->queuedOffset_ += data.size();
  chunk.data = std::move(data);
  stream->tx_.push_back(std::move(chunk));
  if (fin) stream->finQueued_ = true;
  if (!stream->inSendQueue_ && !stream->blocked_) {
    stream->inSendQueue_ = true;
    sendQueue_.push_back(stream->id_);
  }
  // Written in this turn (sends run on the strand, outside the stack): a message waits for
  // no further hand-over. A write already scheduled takes it along instead.
  if (!writeScheduled_) writePackets();
}

void QUICGroupImpl::streamReceive(const std::shared_ptr<QUICStream>& stream, QUICStream::PendingReceive request) {
  if (stream->pendingReceive_) {
    asio::post(strand_, [completion = std::move(request.completion)] {
      completion({}, false, QUICTransportError{"a receive is already pending"});
    });
    return;
  }
  stream->pendingReceive_ = std::move(request);
  deliver(stream);
}

bool QUICGroupImpl::deliver(const std::shared_ptr<QUICStream>& stream, bool now) {
  if (!stream->pendingReceive_) return false;
  std::size_t available = stream->rx_.size() - stream->rxHead_;
  auto& request = *stream->pendingReceive_;
  auto complete = [this, now](auto call) {
    if (now) {
      call();
    } else {
      asio::post(strand_, std::move(call));
    }
  };
  std::size_t minimum = std::max<std::size_t>(1, request.minimum);
  if (stream->rxEndDelivered_) {
    auto completion = std::move(request.completion);
    stream->pendingReceive_.reset();
    complete([completion] { completion({}, true, std::nullopt); });
    return true;
  }
  bool endKnown = stream->rxFin_;
  if (stream->rxError_ && !endKnown) {
    auto completion = std::move(request.completion);
    stream->pendingReceive_.reset();
    stream->rxEndDelivered_ = true;
    complete([completion, reason = *stream->rxError_] { completion({}, false, QUICTransportError{reason}); });
    return true;
  }
  if (available < minimum && !endKnown) return false;
  std::size_t take = std::min(available, std::max<std::size_t>(1, request.maximum));
  auto begin = stream->rx_.begin() + static_cast<std::ptrdiff_t>(stream->rxHead_);
  Bytes content(begin, begin + static_cast<std::ptrdiff_t>(take));
  stream->rxHead_ += take;
  if (stream->rxHead_ == stream->rx_.size()) {
    stream->rx_.clear();
    stream->rxHead_ = 0;
  }
  stream->buffered_.store(stream->rx_.size() - stream->rxHead_);
  bool isComplete = endKnown && stream->rx_.size() == stream->rxHead_;
  if (isComplete) stream->rxEndDelivered_ = true;
  if (take > 0 && conn_ && !ended_ && !stackEnded_) {
    // The application took the data: give the peer room for as much again.
    if (!stream->rxFin_ && !stream->closedByStack_) ngtcp2_conn_extend_max_stream_offset(conn_, stream->id_, take);
    ngtcp2_conn_extend_max_offset(conn_, take);
    scheduleWrite();
  }
  auto completion = std::move(request.completion);
  stream->pendingReceive_.reset();
  complete([completion, content = std::move(content), isComplete]() mutable {
    completion(std::move(content), isComplete, std::nullopt);
  });
  return true;
}

void QUICGroupImpl::streamCancel(const std::shared_ptr<QUICStream>& stream) {
  if (stream->ended_) return;
  failSends(*stream, "stream cancelled");
  if (!stream->rxError_) stream->rxError_ = "stream cancelled";
  stream->rxFin_ = false;
  deliver(stream);
  if (!ended_ && conn_ && streams_.count(stream->id_)) {
    ngtcp2_conn_shutdown_stream(conn_, stream->id_, 0);
    scheduleWrite();
  }
  reportStream(stream, QUICStreamState::cancelled, std::nullopt);
}

}  // namespace brindlet::platform
