#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>
#include <cstring>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include "platform/quic/QUICSocket.h"

namespace brindlet::platform {

namespace {
constexpr std::size_t kConnectionIDLength = 16;
constexpr ngtcp2_duration kInitialRTT = 30 * NGTCP2_MILLISECONDS;
}  // namespace

QUICGroupImpl::QUICGroupImpl(asio::io_context& context, Strand strand, QUICParameters parameters, bool server,
                             asio::ip::udp::endpoint remote)
    : QUICGroup(strand, server, std::move(remote)),
      context_(context),
      parameters_(std::move(parameters)),
      timer_(strand),
      batch_(kTxBufferSize, [this](const std::uint8_t* data, std::size_t size, std::size_t segment) {
        return sendRun(data, size, segment);
      }) {}

QUICGroupImpl::~QUICGroupImpl() {
  if (conn_) ngtcp2_conn_del(conn_);
  tls_.reset();
  if (socket_ && ownsSocket_) {
    // The socket is worked on its strand only; the last owner of a connection may let go of
    // it on any thread, while the socket's strand is reading.
    if (socket_->strand().running_in_this_thread()) {
      socket_->close();
    } else {
      asio::post(socket_->strand(), [socket = socket_] { socket->close(); });
    }
  }
}

std::shared_ptr<QUICGroup> QUICGroup::connect(asio::io_context& context, const asio::ip::udp::endpoint& remote,
                                              QUICParameters parameters) {
  return std::make_shared<QUICGroupImpl>(context, asio::make_strand(context), std::move(parameters), false, remote);
}

std::shared_ptr<QUICGroupImpl> QUICGroupImpl::accept(asio::io_context& context, Strand strand,
                                                     std::shared_ptr<QUICSocket> socket,
                                                     const QUICParameters& parameters, const ngtcp2_pkt_hd& header,
                                                     const asio::ip::udp::endpoint& remote, ListenerHooks hooks,
                                                     Bytes& initialConnectionID) {
  auto group = std::make_shared<QUICGroupImpl>(context, strand, parameters, true, remote);
  group->socket_ = std::move(socket);
  group->hooks_ = std::move(hooks);
  std::string error;
  if (!group->setUpServer(header, error)) return nullptr;
  initialConnectionID = cidBytes(header.dcid);
  return group;
}

void QUICGroupImpl::setPath() {
  asio::ip::udp::endpoint local = socket_->localEndpoint();
  std::memcpy(&localAddress_, local.data(), local.size());
  localLength_ = static_cast<socklen_t>(local.size());
  std::memcpy(&remoteAddress_, remote_.data(), remote_.size());
  remoteLength_ = static_cast<socklen_t>(remote_.size());
  path_.local.addr = reinterpret_cast<ngtcp2_sockaddr*>(&localAddress_);
  path_.local.addrlen = localLength_;
  path_.remote.addr = reinterpret_cast<ngtcp2_sockaddr*>(&remoteAddress_);
  path_.remote.addrlen = remoteLength_;
}

void QUICGroupImpl::fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params) {
  ngtcp2_settings_default(&settings);
  settings.initial_ts = quicTimestamp();
  settings.initial_rtt = kInitialRTT;
  settings.handshake_timeout =
      static_cast<ngtcp2_duration>(parameters_.stackHandshakeTimeout.count()) * NGTCP2_MILLISECONDS;
  // Windows never grow past what was announced: unread data stays bounded by them.
  settings.max_window = parameters_.initialMaxData;
  settings.max_stream_window =
      std::max(parameters_.initialMaxStreamDataBidiLocal, parameters_.initialMaxStreamDataBidiRemote);
  if (parameters_.maxUDPPayloadSize) {
    settings.max_tx_udp_payload_size = static_cast<std::size_t>(*parameters_.maxUDPPayloadSize);
  }

  ngtcp2_transport_params_default(&params);
  params.initial_max_data = parameters_.initialMaxData;
  params.initial_max_stream_data_bidi_local = parameters_.initialMaxStreamDataBidiLocal;
  params.initial_max_stream_data_bidi_remote = parameters_.initialMaxStreamDataBidiRemote;
  params.initial_max_stream_data_uni = 0;
  params.initial_max_streams_bidi = parameters_.initialMaxStreamsBidi;
  params.initial_max_streams_uni = 0;
  params.max_idle_timeout = parameters_.idleTimeoutMilliseconds * NGTCP2_MILLISECONDS;
  if (parameters_.maxUDPPayloadSize) params.max_udp_payload_size = *parameters_.maxUDPPayloadSize;
  params.max_datagram_frame_size = parameters_.maxGroupMessageSize;
}

bool QUICGroupImpl::setUpClient(std::string& error) {
  std::error_code socketError;
  asio::ip::udp::endpoint any(remote_.protocol(), 0);
  socket_ = QUICSocket::open(strand_, any, &remote_, socketError);
  if (!socket_) {
    error = socketError.message();
    return false;
  }
  ownsSocket_ = true;
  setPath();
  ngtcp2_cid dcid{}, scid{};
  dcid.datalen = scid.datalen = kConnectionIDLength;
  tlsRandomBytes(dcid.data, dcid.datalen);
  tlsRandomBytes(scid.data, scid.datalen);
  ngtcp2_settings settings;
  ngtcp2_transport_params params;
  fillSettings(settings, params);
  ngtcp2_callbacks callbacks = stackCallbacks(false);
  int rv = ngtcp2_conn_client_new(&conn_, &dcid, &scid, &path_, NGTCP2_PROTO_VER_V1, &callbacks, &settings, &params,
                                  nullptr, this);
  if (rv != 0) {
    conn_ = nullptr;
    error = liberrText(rv);
    return false;
  }
  if (!setUpTLS(error)) return false;
  std::weak_ptr<QUICGroupImpl> weak = weak_from_this();
  socket_->startReceiving(
      [weak](const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint&) {
        if (auto self = weak.lock()) self->receiveDatagram(data, size);
      },
      [weak] {
        if (auto self = weak.lock()) self->afterReceiving();
      },
      [weak](std::error_code code) {
        if (auto self = weak.lock()) self->onSocketError(code);
      });
  return true;
}

bool QUICGroupImpl::setUpServer(const ngtcp2_pkt_hd& header, std::string& error) {
  setPath();
  ngtcp2_cid scid{};
  scid.datalen = kConnectionIDLength;
  tlsRandomBytes(scid.data, scid.datalen);
  ngtcp2_settings settings;
  ngtcp2_transport_params params;
  fillSettings(settings, params);
  params.original_dcid = header.dcid;
  ngtcp2_callbacks callbacks = stackCallbacks(true);
  int rv = ngtcp2_conn_server_new(&conn_, &header.scid, &scid, &path_, header.version, &callbacks, &settings, &params,
                                  nullptr, this);
  if (rv != 0) {
    conn_ = nullptr;
    error = liberrText(rv);
    return false;
  }
  connectionIDs_.push_back(cidBytes(scid));
  return setUpTLS(error);
}

void QUICGroupImpl::setStateHandler(StateHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->stateHandler_ = std::move(handler);
  });
}

void QUICGroupImpl::setNewStreamHandler(NewStreamHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->newStreamHandler_ = std::move(handler);
  });
}

void QUICGroupImpl::start() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    if (self->started_) return;
    self->started_ = true;
    if (self->ended_) {
      self->reportState(self->endState_, self->endReason_);
      return;
    }
    if (self->server_) {
      self->readyReported_ = true;
      self->reportState(QUICGroupState::ready, std::nullopt);
      auto waiting = std::move(self->waitingStreams_);
      self->waitingStreams_.clear();
      for (auto& stream : waiting) {
        asio::post(self->strand_, [self, stream] {
          if (self->newStreamHandler_) self->newStreamHandler_(stream);
        });
      }
      return;
    }
    std::string error;
    if (!self->setUpClient(error)) {
      self->end(QUICGroupState::failed, error);
      return;
    }
    self->writePackets();
  });
}

void QUICGroupImpl::cancel() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    if (self->ended_) return;
    if (!self->conn_) {
      self->end(QUICGroupState::cancelled, std::nullopt);
      return;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    ngtcp2_connection_close_error_set_application_error(&error, 0, nullptr, 0);
    self->closeWith(error, QUICGroupState::cancelled, std::nullopt);
  });
}

std::shared_ptr<QUICStream> QUICGroupImpl::openStream() {
  if (!conn_ || ended_ || !handshakeDone_) return nullptr;
  std::int64_t id = -1;
  if (ngtcp2_conn_open_bidi_stream(conn_, &id, nullptr) != 0) return nullptr;
  return makeStream(id);
}

std::string QUICGroupImpl::describePeerClose() const {
  ngtcp2_connection_close_error error;
  ngtcp2_conn_get_connection_close_error(conn_, &error);
  char text[128];
  switch (error.type) {
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT:
      if (error.error_code == NGTCP2_NO_ERROR) return "connection closed by peer";
      if ((error.error_code & ~0xffULL) == NGTCP2_CRYPTO_ERROR) {
        return "connection closed by peer: " + tlsAlertText(static_cast<unsigned>(error.error_code & 0xff));
      }
      std::snprintf(text, sizeof text, "connection closed by peer: transport error 0x%llx",
                    static_cast<unsigned long long>(error.error_code));
      return text;
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION:
      if (error.error_code == 0) return "connection closed by peer";
      std::snprintf(text, sizeof text, "connection closed by peer: application error %llu",
                    static_cast<unsigned long long>(error.error_code));
      return text;
    default:
      return "connection closed by peer";
  }
}

void QUICGroupImpl::closeWithLibraryError(int code) {
  ngtcp2_connection_close_error error;
  ngtcp2_connection_close_error_default(&error);
  std::string reason;
  if (code == NGTCP2_ERR_CRYPTO) {
    std::uint8_t alert = ngtcp2_conn_get_tls_alert(conn_);
    ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, alert, nullptr, 0);
    reason = "TLS handshake failed: " + tlsAlertText(alert);
  } else {
    ngtcp2_connection_close_error_set_transport_error_liberr(&error, code, nullptr, 0);
    reason = liberrText(code);
  }
  closeWith(error, QUICGroupState::failed, reason);
}

void QUICGroupImpl::closeWith(const ngtcp2_connection_close_error& error, QUICGroupState state,
                              std::optional<std::string> reason) {
  if (ended_) return;
  if (conn_ && !stackEnded_ && !ngtcp2_conn_is_in_closing_period(conn_) && !ngtcp2_conn_is_in_draining_period(conn_)) {
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    std::uint8_t packet[1500];
    ngtcp2_ssize n =
        ngtcp2_conn_write_connection_close(conn_, &ps.path, &info, packet, sizeof packet, &error, quicTimestamp());
    if (n > 0 && !batch_.blocked()) {
      const asio::ip::udp::endpoint* to = ownsSocket_ ? nullptr : &remote_;
      socket_->send(packet, static_cast<std::size_t>(n), static_cast<std::size_t>(n), to);
    }
  }
  stackEnded_ = true;
  end(state, std::move(reason));
}

void QUICGroupImpl::end(QUICGroupState state, std::optional<std::string> reason) {
  if (ended_) return;
  ended_ = true;
  endState_ = state;
  endReason_ = reason;
  timer_.cancel();
  std::string streamReason = reason.value_or("connection closed");
  std::vector<std::shared_ptr<QUICStream>> all = std::move(waitingStreams_);
  waitingStreams_.clear();
  for (auto& [id, stream] : streams_) all.push_back(stream);
  streams_.clear();
  sendQueue_.clear();
  reportState(state, reason);
  for (auto& stream : all) {
    failSends(*stream, streamReason);
    stream->rxError_ = streamReason;
    deliver(stream);
    reportStream(stream, state == QUICGroupState::cancelled ? QUICStreamState::cancelled : QUICStreamState::failed,
                 state == QUICGroupState::cancelled ? std::nullopt : std::optional<std::string>(streamReason));
  }
  if (server_) {
    if (hooks_.gone) hooks_.gone(shared_from_this());
  } else if (socket_) {
    socket_->close();
  }
}

void QUICGroupImpl::reportState(QUICGroupState state, std::optional<std::string> reason) {
  if (!started_) return;
  asio::post(strand_, [self = shared_from_this(), state, reason = std::move(reason)] {
    if (!self->stateHandler_) return;
    std::optional<QUICTransportError> error;
    if (reason) error = QUICTransportError{*reason};
    self->stateHandler_(state, error);
  });
}

}  // namespace brindlet::platform
