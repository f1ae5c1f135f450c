#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>
#include <cstring>

#include <asio/defer.hpp>
#include <asio/dispatch.hpp>

#include "platform/quic/QUICSocket.h"

namespace brindlet::platform {

namespace {
constexpr std::size_t kMaxPacketsPerBurst = 64;
constexpr std::size_t kMaxVectors = 16;
}  // namespace

void QUICGroupImpl::receiveDatagram(const std::uint8_t* data, std::size_t size) {
  if (ended_ || !conn_ || size == 0) return;
  ngtcp2_pkt_info info{};
  ++datagramsInBurst_;
  int rv = ngtcp2_conn_read_pkt(conn_, &path_, &info, data, size, quicTimestamp());
  if (rv == 0) {
    if (waiting_) waiting_ = false;
    return;
  }
  switch (rv) {
    case NGTCP2_ERR_DRAINING:
      stackEnded_ = true;
      end(QUICGroupState::failed, describePeerClose());
      return;
    case NGTCP2_ERR_DROP_CONN:
    case NGTCP2_ERR_RETRY:
      stackEnded_ = true;
      end(QUICGroupState::failed, std::string("connection dropped"));
      return;
    default:
      closeWithLibraryError(rv);
  }
}

void QUICGroupImpl::afterReceiving() {
  if (ended_) {
    datagramsInBurst_ = 0;
    return;
  }
  if (handshakeDone_ && server_ && !announced_) {
    announced_ = true;
    if (hooks_.established) hooks_.established(shared_from_this());
  }
  maybeReportReady();
  auto touched = std::move(receivedInto_);
  receivedInto_.clear();
  for (auto& stream : touched) stream->inReceivedList_ = false;
  // The data goes to its reader in this turn: no further hand-over between receiving a
  // datagram and the reader seeing its bytes. The credit its reading gives back goes out
  // with the write below, not with one of its own later.
  bool scheduled = writeScheduled_;
  writeScheduled_ = true;
  bool handedOver = false;
  for (auto& stream : touched) handedOver = deliver(stream, true) || handedOver;
  writeScheduled_ = scheduled;
  // A lone datagram is a message its reader may answer; a run of them is bulk data, whose
  // acknowledgements are due at once anyway and which nobody answers.
  const bool lone = datagramsInBurst_ == 1;
  datagramsInBurst_ = 0;
  if (handedOver && lone) {
    writeAfterReaders();
  } else {
    writePackets();
  }
}

void QUICGroupImpl::writeAfterReaders() {
  if (writeScheduled_ || ended_) return;
  writeScheduled_ = true;
  // The stack owes the peer an acknowledgement almost at once (its delay is an eighth of the
  // round trip, a few microseconds on a fast path). Written now, it would leave alone, and the
  // answer a reader sends to what it was just handed would follow in a packet of its own. The
  // readers' handlers were queued, as continuations of this turn, before this write: it goes
  // through the context first, so that an answer they send joins it and the acknowledgement
  // rides along with the answer. A reader that sends nothing only moves the write one handler on.
  asio::defer(context_.get_executor(), [weak = weak_from_this(), strand = strand_] {
    asio::dispatch(strand, [weak] { runScheduledWrite(weak); });
  });
}

void QUICGroupImpl::scheduleWrite() {
  if (writeScheduled_ || ended_) return;
  writeScheduled_ = true;
  asio::defer(strand_, [weak = weak_from_this()] { runScheduledWrite(weak); });
}

void QUICGroupImpl::runScheduledWrite(const std::weak_ptr<QUICGroupImpl>& weak) {
  auto self = weak.lock();
  if (!self) return;
  self->writeScheduled_ = false;
  self->writePackets();
}

std::size_t QUICGroupImpl::sendRun(const std::uint8_t* data, std::size_t size, std::size_t segment) {
  const asio::ip::udp::endpoint* to = ownsSocket_ ? nullptr : &remote_;
  QUICSocket::SendResult result = socket_->send(data, size, segment, to);
  if (!result.error) return size;
  if (result.error == std::errc::resource_unavailable_try_again || result.error == std::errc::operation_would_block ||
      result.error == std::errc::no_buffer_space) {
    return result.sent;  // the rest waits until the socket drains
  }
  onSocketError(result.error);
  return size;  // the datagrams are lost; the stack retransmits
}

void QUICGroupImpl::waitUntilWritable() {
  if (waitingWritable_) return;
  waitingWritable_ = true;
  socket_->whenWritable([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->waitingWritable_ = false;
    self->writePackets();
  });
}

void QUICGroupImpl::writePackets() {
  if (ended_ || !conn_ || waitingWritable_ || stackEnded_) return;
  if (!batch_.flush()) {
    waitUntilWritable();
    return;
  }
  ngtcp2_tstamp now = quicTimestamp();
  std::size_t maxPayload = ngtcp2_conn_get_path_max_tx_udp_payload_size(conn_);
  std::size_t burstCap = std::max<std::size_t>(1, std::min(kMaxPacketsPerBurst, kTxBufferSize / maxPayload));
  std::size_t quantum = std::max<std::size_t>(1, ngtcp2_conn_get_send_quantum(conn_) / maxPayload);
  std::size_t maxPackets = std::min(burstCap, quantum);

  ngtcp2_path_storage ps;
  ngtcp2_path_storage_zero(&ps);
  for (;;) {
    std::shared_ptr<QUICStream> stream;
    while (!sendQueue_.empty()) {
      auto found = streams_.find(sendQueue_.front());
      if (found != streams_.end() && found->second->hasSomethingToSend() && !found->second->blocked_ &&
          !found->second->txError_) {
        stream = found->second;
        break;
      }
      if (found != streams_.end()) found->second->inSendQueue_ = false;
      sendQueue_.pop_front();
    }
    ngtcp2_vec vectors[kMaxVectors];
    std::size_t count = 0;
    std::uint64_t offered = 0;
    std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
    std::int64_t id = -1;
    bool fin = false;
    if (stream) {
      id = stream->id_;
      std::uint64_t covered = stream->sentOffset_;
      for (auto& chunk : stream->tx_) {
        std::uint64_t end = chunk.offset + chunk.data.size();
        if (end <= covered) continue;
        std::uint64_t start = covered - chunk.offset;
        vectors[count].base = chunk.data.data() + start;
        vectors[count].len = static_cast<std::size_t>(chunk.data.size() - start);
        offered += vectors[count].len;
        covered = end;
        if (++count == kMaxVectors) break;
      }
      fin = stream->finQueued_ && covered == stream->queuedOffset_;
      if (fin) flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
    }
    ngtcp2_ssize written = -1;
    ngtcp2_pkt_info info{};
    ngtcp2_ssize n = ngtcp2_conn_writev_stream(conn_, &ps.path, &info, batch_.space(), maxPayload, &written, flags, id,
                                               vectors, count, now);
    if (n < 0) {
      if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR || n == NGTCP2_ERR_STREAM_NOT_FOUND) {
        stream->blocked_ = n == NGTCP2_ERR_STREAM_DATA_BLOCKED;
        if (n != NGTCP2_ERR_STREAM_DATA_BLOCKED) stream->txError_ = "stream closed for sending";
        stream->inSendQueue_ = false;
        sendQueue_.pop_front();
        if (stream->txError_) failSends(*stream, *stream->txError_);
        continue;
      }
      if (n == NGTCP2_ERR_WRITE_MORE) {
        advance(*stream, static_cast<std::uint64_t>(written), fin && static_cast<std::uint64_t>(written) == offered);
        continue;
      }
      closeWithLibraryError(static_cast<int>(n));
      return;
    }
    if (stream && written >= 0) {
      advance(*stream, static_cast<std::uint64_t>(written), fin && static_cast<std::uint64_t>(written) == offered);
      // Take turns between streams that have data.
      if (!sendQueue_.empty() && sendQueue_.front() == id && stream->inSendQueue_) {
        sendQueue_.pop_front();
        sendQueue_.push_back(id);
      }
    }
    if (n == 0) break;
    // A packet the stack has written is sent, now or once the socket drains: never dropped.
    QUICPacketBatch::Outcome outcome = batch_.push(static_cast<std::size_t>(n), maxPayload, maxPackets);
    if (outcome == QUICPacketBatch::Outcome::blocked) {
      waitUntilWritable();
      return;
    }
    if (outcome == QUICPacketBatch::Outcome::runFull) break;
  }
  if (!batch_.flush()) {
    waitUntilWritable();
    return;
  }
  ngtcp2_conn_update_pkt_tx_time(conn_, now);
  armTimer();
}

void QUICGroupImpl::onSocketError(std::error_code error) {
  if (ended_) return;
  // The network refused the datagrams (nothing listening, no route): wait for it to change;
  // the stack keeps retransmitting and its timers still apply.
  if (!readyReported_ && !server_) {
    if (!waiting_) {
      waiting_ = true;
      reportState(QUICGroupState::waiting, error.message());
    }
  }
}

}  // namespace brindlet::platform
