#include "platform/quic/QUICGroup.h"

#include <gnutls/crypto.h>
#include <gnutls/x509.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include "platform/quic/QUICSocket.h"

namespace brindlet::platform {

namespace {

constexpr std::size_t kConnectionIDLength = 16;
constexpr std::size_t kTxBufferSize = 65536;
constexpr std::size_t kMaxPacketsPerBurst = 64;
constexpr std::size_t kMaxVectors = 16;
constexpr ngtcp2_duration kInitialRTT = 30 * NGTCP2_MILLISECONDS;
constexpr const char* kPriority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "-GROUP-ALL:+GROUP-SECP256R1:+GROUP-X25519:+GROUP-SECP384R1:%DISABLE_TLS13_COMPAT_MODE";

ngtcp2_tstamp timestamp() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ngtcp2_tstamp>(now.tv_sec) * NGTCP2_SECONDS + static_cast<ngtcp2_tstamp>(now.tv_nsec);
}

void randomBytes(std::uint8_t* out, std::size_t length) { gnutls_rnd(GNUTLS_RND_RANDOM, out, length); }

Bytes cidBytes(const ngtcp2_cid& cid) { return Bytes(cid.data, cid.data + cid.datalen); }

std::string alertText(unsigned alert) {
  const char* name = gnutls_alert_get_strname(static_cast<gnutls_alert_description_t>(alert));
  char text[96];
  std::snprintf(text, sizeof text, "TLS alert %u (%s)", alert, name ? name : "unknown");
  return text;
}

std::string liberrText(int code) { return ngtcp2_strerror(code); }

}  // namespace

// Entry points the stack calls; each forwards to the group named by user_data.
struct QUICGroup::Callbacks {
  static QUICGroup* of(void* user) { return static_cast<QUICGroup*>(user); }

  static ngtcp2_conn* getConnection(ngtcp2_crypto_conn_ref* ref) { return of(ref->user_data)->conn_; }

  static int handshakeCompleted(ngtcp2_conn*, void* user) { return of(user)->onHandshakeCompleted(); }
  static int recvStreamData(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t, const uint8_t* data, size_t size,
                            void* user, void*) {
    return of(user)->onStreamData(id, flags, data, size);
  }
  static int ackedStreamDataOffset(ngtcp2_conn*, int64_t id, uint64_t offset, uint64_t length, void* user, void*) {
    return of(user)->onStreamAcked(id, offset, length);
  }
  static int streamOpen(ngtcp2_conn*, int64_t id, void* user) { return of(user)->onStreamOpened(id); }
  static int streamClose(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t code, void* user, void*) {
    return of(user)->onStreamClosed(id, flags, code);
  }
  static int streamReset(ngtcp2_conn*, int64_t id, uint64_t, uint64_t code, void* user, void*) {
    return of(user)->onStreamReset(id, code);
  }
  static int streamStopSending(ngtcp2_conn*, int64_t id, uint64_t code, void* user, void*) {
    return of(user)->onStreamStopSending(id, code);
  }
  static int extendMaxStreamData(ngtcp2_conn*, int64_t id, uint64_t, void* user, void*) {
    return of(user)->onStreamCredit(id);
  }
  static void rand(uint8_t* out, size_t length, const ngtcp2_rand_ctx*) { randomBytes(out, length); }
  static int newConnectionID(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length, void* user) {
    return of(user)->onNewConnectionID(cid, token, length);
  }
  static int removeConnectionID(ngtcp2_conn*, const ngtcp2_cid* cid, void* user) {
    return of(user)->onRemoveConnectionID(cid);
  }
  static int recvDatagram(ngtcp2_conn*, uint32_t, const uint8_t*, size_t, void*) { return 0; }

  static int verify(gnutls_session_t session) {
    auto* ref = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    return of(ref->user_data)->onVerify();
  }
  // The server insists on an application protocol: GnuTLS alone lets a hello without one pass.
  static int clientHelloDone(gnutls_session_t session, unsigned, unsigned, unsigned, const gnutls_datum_t*) {
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != 0) return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    return 0;
  }

  static ngtcp2_callbacks make(bool server) {
    ngtcp2_callbacks callbacks{};
    if (server) {
      callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
      callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
      callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.handshake_completed = handshakeCompleted;
    callbacks.recv_stream_data = recvStreamData;
    callbacks.acked_stream_data_offset = ackedStreamDataOffset;
    callbacks.stream_open = streamOpen;
    callbacks.stream_close = streamClose;
    callbacks.stream_reset = streamReset;
    callbacks.stream_stop_sending = streamStopSending;
    callbacks.extend_max_stream_data = extendMaxStreamData;
    callbacks.rand = rand;
    callbacks.get_new_connection_id = newConnectionID;
    callbacks.remove_connection_id = removeConnectionID;
    callbacks.recv_datagram = recvDatagram;
    return callbacks;
  }
};

// ---------------------------------------------------------------------------------------
// Creation

QUICGroup::QUICGroup(asio::io_context& context, Strand strand, QUICParameters parameters, bool server)
    : context_(context),
      strand_(strand),
      parameters_(std::move(parameters)),
      server_(server),
      timer_(strand),
      txBuffer_(kTxBufferSize) {
  connectionRef_.get_conn = &Callbacks::getConnection;
  connectionRef_.user_data = this;
}

QUICGroup::~QUICGroup() {
  if (conn_) ngtcp2_conn_del(conn_);
  if (tls_) gnutls_deinit(tls_);
  if (credentials_) gnutls_certificate_free_credentials(credentials_);
  if (socket_ && ownsSocket_) socket_->close();
}

std::shared_ptr<QUICGroup> QUICGroup::connect(asio::io_context& context, const asio::ip::udp::endpoint& remote,
                                              QUICParameters parameters) {
  auto group =
      std::shared_ptr<QUICGroup>(new QUICGroup(context, asio::make_strand(context), std::move(parameters), false));
  group->remote_ = remote;
  return group;
}

std::shared_ptr<QUICGroup> QUICGroup::accept(asio::io_context& context, Strand strand,
                                             std::shared_ptr<QUICSocket> socket, const QUICParameters& parameters,
                                             const ngtcp2_pkt_hd& header, const asio::ip::udp::endpoint& remote,
                                             ListenerHooks hooks, Bytes& initialConnectionID) {
  auto group = std::shared_ptr<QUICGroup>(new QUICGroup(context, strand, parameters, true));
  group->socket_ = std::move(socket);
  group->remote_ = remote;
  group->hooks_ = std::move(hooks);
  std::string error;
  if (!group->setUpServer(header, error)) return nullptr;
  initialConnectionID = cidBytes(header.dcid);
  return group;
}

void QUICGroup::setPath() {
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

void QUICGroup::fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params) {
  ngtcp2_settings_default(&settings);
  settings.initial_ts = timestamp();
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

bool QUICGroup::setUpTLS(std::string& error) {
  int rv = gnutls_init(&tls_, (server_ ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_TICKETS);
  if (rv == 0) rv = gnutls_priority_set_direct(tls_, kPriority, nullptr);
  if (rv != 0) {
    error = gnutls_strerror(rv);
    return false;
  }
  if ((server_ ? ngtcp2_crypto_gnutls_configure_server_session(tls_)
               : ngtcp2_crypto_gnutls_configure_client_session(tls_)) != 0) {
    error = "could not prepare the TLS session";
    return false;
  }
  gnutls_session_set_ptr(tls_, &connectionRef_);
  rv = gnutls_certificate_allocate_credentials(&credentials_);
  if (rv == 0 && parameters_.localIdentity) {
    const QUICIdentity& identity = *parameters_.localIdentity;
    gnutls_datum_t certificate{const_cast<unsigned char*>(identity.certificateDER.data()),
                               static_cast<unsigned>(identity.certificateDER.size())};
    gnutls_datum_t key{const_cast<unsigned char*>(identity.privateKeyDER.data()),
                       static_cast<unsigned>(identity.privateKeyDER.size())};
    rv = gnutls_certificate_set_x509_key_mem2(credentials_, &certificate, &key, GNUTLS_X509_FMT_DER, nullptr, 0);
    if (rv > 0) rv = 0;
  }
  if (rv == 0) rv = gnutls_credentials_set(tls_, GNUTLS_CRD_CERTIFICATE, credentials_);
  if (rv != 0) {
    error = gnutls_strerror(rv);
    return false;
  }
  std::vector<gnutls_datum_t> protocols;
  for (const std::string& name : parameters_.applicationProtocols) {
    protocols.push_back(
        {reinterpret_cast<unsigned char*>(const_cast<char*>(name.data())), static_cast<unsigned>(name.size())});
  }
  if (!protocols.empty()) {
    rv = gnutls_alpn_set_protocols(tls_, protocols.data(), static_cast<unsigned>(protocols.size()),
                                   server_ ? GNUTLS_ALPN_MANDATORY : 0);
    if (rv != 0) {
      error = gnutls_strerror(rv);
      return false;
    }
  }
  if (server_) {
    gnutls_handshake_set_hook_function(tls_, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_POST,
                                       &Callbacks::clientHelloDone);
  } else if (parameters_.verify) {
    gnutls_session_set_verify_function(tls_, &Callbacks::verify);
  }
  ngtcp2_conn_set_tls_native_handle(conn_, tls_);
  return true;
}

bool QUICGroup::setUpClient(std::string& error) {
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
  randomBytes(dcid.data, dcid.datalen);
  randomBytes(scid.data, scid.datalen);
  ngtcp2_settings settings;
  ngtcp2_transport_params params;
  fillSettings(settings, params);
  ngtcp2_callbacks callbacks = Callbacks::make(false);
  int rv = ngtcp2_conn_client_new(&conn_, &dcid, &scid, &path_, NGTCP2_PROTO_VER_V1, &callbacks, &settings, &params,
                                  nullptr, this);
  if (rv != 0) {
    conn_ = nullptr;
    error = liberrText(rv);
    return false;
  }
  if (!setUpTLS(error)) return false;
  std::weak_ptr<QUICGroup> weak = weak_from_this();
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

bool QUICGroup::setUpServer(const ngtcp2_pkt_hd& header, std::string& error) {
  setPath();
  ngtcp2_cid scid{};
  scid.datalen = kConnectionIDLength;
  randomBytes(scid.data, scid.datalen);
  ngtcp2_settings settings;
  ngtcp2_transport_params params;
  fillSettings(settings, params);
  params.original_dcid = header.dcid;
  ngtcp2_callbacks callbacks = Callbacks::make(true);
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

// ---------------------------------------------------------------------------------------
// Public operations

void QUICGroup::setStateHandler(StateHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->stateHandler_ = std::move(handler);
  });
}

void QUICGroup::setNewStreamHandler(NewStreamHandler handler) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->newStreamHandler_ = std::move(handler);
  });
}

void QUICGroup::start() {
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

void QUICGroup::cancel() {
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

std::shared_ptr<QUICStream> QUICGroup::openStream() {
  if (!conn_ || ended_ || !handshakeDone_) return nullptr;
  std::int64_t id = -1;
  if (ngtcp2_conn_open_bidi_stream(conn_, &id, nullptr) != 0) return nullptr;
  return makeStream(id);
}

std::optional<Bytes> QUICGroup::exportKeyingMaterial(std::string_view label, std::size_t length) {
  if (!strand_.running_in_this_thread()) {
    std::promise<std::optional<Bytes>> result;
    auto future = result.get_future();
    asio::dispatch(strand_, [self = shared_from_this(), label = std::string(label), length, &result] {
      result.set_value(self->exportKeyingMaterial(label, length));
    });
    return future.get();
  }
  if (!tls_ || !handshakeDone_ || ended_) return std::nullopt;
  Bytes out(length);
  if (gnutls_prf_rfc5705(tls_, label.size(), label.data(), 0, nullptr, length, reinterpret_cast<char*>(out.data())) !=
      0) {
    return std::nullopt;
  }
  return out;
}

std::vector<Bytes> QUICGroup::peerCertificateChain() const {
  std::lock_guard lock(infoMutex_);
  return peerChain_;
}

std::string QUICGroup::applicationProtocol() const {
  std::lock_guard lock(infoMutex_);
  return alpn_;
}

// ---------------------------------------------------------------------------------------
// Packets

void QUICGroup::receiveDatagram(const std::uint8_t* data, std::size_t size) {
  if (ended_ || !conn_ || size == 0) return;
  ngtcp2_pkt_info info{};
  int rv = ngtcp2_conn_read_pkt(conn_, &path_, &info, data, size, timestamp());
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

void QUICGroup::afterReceiving() {
  if (ended_) return;
  if (handshakeDone_ && server_ && !announced_) {
    announced_ = true;
    if (hooks_.established) hooks_.established(shared_from_this());
  }
  maybeReportReady();
  auto touched = std::move(receivedInto_);
  receivedInto_.clear();
  for (auto& stream : touched) deliver(stream);
  writePackets();
}

void QUICGroup::scheduleWrite() {
  if (writeScheduled_ || ended_) return;
  writeScheduled_ = true;
  asio::post(strand_, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->writeScheduled_ = false;
    self->writePackets();
  });
}

bool QUICGroup::sendBatch(const std::uint8_t* data, std::size_t size, std::size_t segment) {
  const asio::ip::udp::endpoint* to = ownsSocket_ ? nullptr : &remote_;
  QUICSocket::SendResult result = socket_->send(data, size, segment, to);
  if (!result.error) return true;
  if (result.error == std::errc::resource_unavailable_try_again || result.error == std::errc::operation_would_block ||
      result.error == std::errc::no_buffer_space) {
    // Keep the rest and go on once the socket drains.
    std::size_t rest = size - result.sent;
    std::memmove(txBuffer_.data(), data + result.sent, rest);
    pendingOffset_ = 0;
    pendingSize_ = rest;
    pendingSegment_ = segment;
    waitingWritable_ = true;
    socket_->whenWritable([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      self->waitingWritable_ = false;
      self->writePackets();
    });
    return false;
  }
  onSocketError(result.error);
  return true;  // the datagram is lost; the stack retransmits
}

bool QUICGroup::flushPending() {
  if (pendingSize_ == 0) return true;
  std::size_t size = pendingSize_;
  pendingSize_ = 0;
  return sendBatch(txBuffer_.data() + pendingOffset_, size, pendingSegment_);
}

void QUICGroup::writePackets() {
  if (ended_ || !conn_ || waitingWritable_ || stackEnded_) return;
  if (!flushPending()) return;
  ngtcp2_tstamp now = timestamp();
  std::size_t maxPayload = ngtcp2_conn_get_path_max_tx_udp_payload_size(conn_);
  std::size_t burstCap = std::max<std::size_t>(1, std::min(kMaxPacketsPerBurst, kTxBufferSize / maxPayload));
  std::size_t quantum = std::max<std::size_t>(1, ngtcp2_conn_get_send_quantum(conn_) / maxPayload);
  std::size_t maxPackets = std::min(burstCap, quantum);

  std::uint8_t* buffer = txBuffer_.data();
  std::size_t used = 0, segment = 0, packets = 0;
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
    ngtcp2_ssize n = ngtcp2_conn_writev_stream(conn_, &ps.path, &info, buffer + used, maxPayload, &written, flags, id,
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
    std::size_t size = static_cast<std::size_t>(n);
    if (packets > 0 && size > segment) {
      // A larger packet cannot join a run of smaller ones: send the run, start a new one.
      if (!sendBatch(buffer, used, segment)) return;
      std::memmove(buffer, buffer + used, size);
      used = 0;
      packets = 0;
    }
    if (packets == 0) segment = size;
    used += size;
    ++packets;
    if (size < segment || packets >= maxPackets || used + maxPayload > kTxBufferSize) {
      if (!sendBatch(buffer, used, segment)) return;
      bool full = packets >= maxPackets;
      used = 0;
      packets = 0;
      if (full) break;
    }
  }
  if (used > 0 && !sendBatch(buffer, used, segment)) return;
  ngtcp2_conn_update_pkt_tx_time(conn_, now);
  armTimer();
}

void QUICGroup::armTimer() {
  if (ended_ || !conn_) return;
  ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(conn_);
  if (expiry == armedExpiry_) return;
  armedExpiry_ = expiry;
  if (expiry == UINT64_MAX) {
    timer_.cancel();
    return;
  }
  ngtcp2_tstamp now = timestamp();
  timer_.expires_after(std::chrono::nanoseconds(expiry > now ? expiry - now : 0));
  timer_.async_wait([weak = weak_from_this()](std::error_code error) {
    if (error) return;
    if (auto self = weak.lock()) {
      self->armedExpiry_ = UINT64_MAX;
      self->onTimer();
    }
  });
}

void QUICGroup::onTimer() {
  if (ended_ || !conn_) return;
  int rv = ngtcp2_conn_handle_expiry(conn_, timestamp());
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

void QUICGroup::onSocketError(std::error_code error) {
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

// ---------------------------------------------------------------------------------------
// Ending

std::string QUICGroup::describePeerClose() const {
  ngtcp2_connection_close_error error;
  ngtcp2_conn_get_connection_close_error(conn_, &error);
  char text[128];
  switch (error.type) {
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT:
      if (error.error_code == NGTCP2_NO_ERROR) return "connection closed by peer";
      if ((error.error_code & ~0xffULL) == NGTCP2_CRYPTO_ERROR) {
        return "connection closed by peer: " + alertText(static_cast<unsigned>(error.error_code & 0xff));
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

void QUICGroup::closeWithLibraryError(int code) {
  ngtcp2_connection_close_error error;
  ngtcp2_connection_close_error_default(&error);
  std::string reason;
  if (code == NGTCP2_ERR_CRYPTO) {
    std::uint8_t alert = ngtcp2_conn_get_tls_alert(conn_);
    ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, alert, nullptr, 0);
    reason = "TLS handshake failed: " + alertText(alert);
  } else {
    ngtcp2_connection_close_error_set_transport_error_liberr(&error, code, nullptr, 0);
    reason = liberrText(code);
  }
  closeWith(error, QUICGroupState::failed, reason);
}

void QUICGroup::closeWith(const ngtcp2_connection_close_error& error, QUICGroupState state,
                          std::optional<std::string> reason) {
  if (ended_) return;
  if (conn_ && !stackEnded_ && !ngtcp2_conn_is_in_closing_period(conn_) && !ngtcp2_conn_is_in_draining_period(conn_)) {
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    std::uint8_t packet[1500];
    ngtcp2_ssize n =
        ngtcp2_conn_write_connection_close(conn_, &ps.path, &info, packet, sizeof packet, &error, timestamp());
    if (n > 0 && pendingSize_ == 0) {
      const asio::ip::udp::endpoint* to = ownsSocket_ ? nullptr : &remote_;
      socket_->send(packet, static_cast<std::size_t>(n), static_cast<std::size_t>(n), to);
    }
  }
  stackEnded_ = true;
  end(state, std::move(reason));
}

void QUICGroup::end(QUICGroupState state, std::optional<std::string> reason) {
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

void QUICGroup::reportState(QUICGroupState state, std::optional<std::string> reason) {
  if (!started_) return;
  asio::post(strand_, [self = shared_from_this(), state, reason = std::move(reason)] {
    if (!self->stateHandler_) return;
    std::optional<QUICTransportError> error;
    if (reason) error = QUICTransportError{*reason};
    self->stateHandler_(state, error);
  });
}

// ---------------------------------------------------------------------------------------
// Handshake

int QUICGroup::onHandshakeCompleted() {
  handshakeDone_ = true;
  gnutls_datum_t selected{};
  std::string protocol;
  if (gnutls_alpn_get_selected_protocol(tls_, &selected) == 0) {
    protocol.assign(reinterpret_cast<const char*>(selected.data), selected.size);
  }
  recordPeerChain();
  {
    std::lock_guard lock(infoMutex_);
    alpn_ = protocol;
  }
  if (!server_ && !parameters_.applicationProtocols.empty() &&
      std::find(parameters_.applicationProtocols.begin(), parameters_.applicationProtocols.end(), protocol) ==
          parameters_.applicationProtocols.end()) {
    return NGTCP2_ERR_CALLBACK_FAILURE;
  }
  if (!server_ && parameters_.verify && verdict_ == Verdict::none) onVerify();  // no certificate was shown
  return 0;
}

std::vector<Bytes> QUICGroup::recordPeerChain() {
  std::vector<Bytes> chain;
  unsigned count = 0;
  const gnutls_datum_t* certificates = gnutls_certificate_get_peers(tls_, &count);
  for (unsigned i = 0; certificates && i < count; ++i) {
    chain.emplace_back(certificates[i].data, certificates[i].data + certificates[i].size);
  }
  std::lock_guard lock(infoMutex_);
  peerChain_ = chain;
  return chain;
}

int QUICGroup::onVerify() {
  std::vector<Bytes> chain = recordPeerChain();
  verdict_ = Verdict::pending;
  // The hook decides later; the connection is not reported ready until it has.
  auto once = std::make_shared<std::atomic<bool>>(false);
  QUICVerifyCompletion completion = [weak = weak_from_this(), strand = strand_, once](bool accept) {
    if (once->exchange(true)) return;
    asio::post(strand, [weak, accept] {
      if (auto self = weak.lock()) self->onVerdict(accept);
    });
  };
  asio::any_io_executor executor =
      parameters_.verifyExecutor ? *parameters_.verifyExecutor : asio::any_io_executor(asio::make_strand(context_));
  asio::post(executor, [hook = parameters_.verify, trust = QUICPeerTrust{std::move(chain)}, completion]() mutable {
    hook(std::move(trust), completion);
  });
  return 0;
}

void QUICGroup::onVerdict(bool accept) {
  if (ended_ || verdict_ != Verdict::pending) return;
  if (accept) {
    verdict_ = Verdict::accepted;
    maybeReportReady();
    return;
  }
  verdict_ = Verdict::rejected;
  ngtcp2_connection_close_error error;
  ngtcp2_connection_close_error_default(&error);
  ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, GNUTLS_A_BAD_CERTIFICATE, nullptr, 0);
  closeWith(error, QUICGroupState::failed, "TLS certificate rejected");
}

void QUICGroup::maybeReportReady() {
  if (server_ || ended_ || readyReported_ || !started_ || !handshakeDone_) return;
  if (verdict_ == Verdict::pending || verdict_ == Verdict::rejected) return;
  readyReported_ = true;
  waiting_ = false;
  reportState(QUICGroupState::ready, std::nullopt);
}

int QUICGroup::onNewConnectionID(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length) {
  cid->datalen = length;
  randomBytes(cid->data, length);
  randomBytes(token, NGTCP2_STATELESS_RESET_TOKENLEN);
  Bytes id = cidBytes(*cid);
  connectionIDs_.push_back(id);
  if (hooks_.addConnectionID) hooks_.addConnectionID(id, shared_from_this());
  return 0;
}

int QUICGroup::onRemoveConnectionID(const ngtcp2_cid* cid) {
  Bytes id = cidBytes(*cid);
  connectionIDs_.erase(std::remove(connectionIDs_.begin(), connectionIDs_.end(), id), connectionIDs_.end());
  if (hooks_.removeConnectionID) hooks_.removeConnectionID(id);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Streams

std::shared_ptr<QUICStream> QUICGroup::makeStream(std::int64_t id) {
  auto stream = std::make_shared<QUICStream>(weak_from_this(), strand_, id);
  streams_[id] = stream;
  return stream;
}

int QUICGroup::onStreamOpened(std::int64_t id) {
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

int QUICGroup::onStreamData(std::int64_t id, std::uint32_t flags, const std::uint8_t* data, std::size_t size) {
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
  receivedInto_.push_back(found->second);
  return 0;
}

int QUICGroup::onStreamAcked(std::int64_t id, std::uint64_t offset, std::uint64_t length) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  QUICStream& stream = *found->second;
  stream.ackedOffset_ = std::max(stream.ackedOffset_, offset + length);
  releaseAcked(stream);
  return 0;
}

int QUICGroup::onStreamClosed(std::int64_t id, std::uint32_t, std::uint64_t) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  auto stream = found->second;
  streams_.erase(found);
  stream->closedByStack_ = true;
  failSends(*stream, "stream closed");
  stream->tx_.clear();
  if (!stream->rxFin_ && !stream->rxError_) stream->rxError_ = "stream closed";
  receivedInto_.push_back(stream);
  if (!ended_) asio::post(strand_, [self = shared_from_this(), stream] { self->deliver(stream); });
  return 0;
}

int QUICGroup::onStreamReset(std::int64_t id, std::uint64_t code) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  char text[64];
  std::snprintf(text, sizeof text, "stream reset by peer (error %llu)", static_cast<unsigned long long>(code));
  found->second->rxError_ = text;
  receivedInto_.push_back(found->second);
  return 0;
}

int QUICGroup::onStreamStopSending(std::int64_t id, std::uint64_t code) {
  auto found = streams_.find(id);
  if (found == streams_.end()) return 0;
  char text[64];
  std::snprintf(text, sizeof text, "stream stopped by peer (error %llu)", static_cast<unsigned long long>(code));
  found->second->txError_ = text;
  failSends(*found->second, text);
  return 0;
}

int QUICGroup::onStreamCredit(std::int64_t id) {
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

void QUICGroup::advance(QUICStream& stream, std::uint64_t bytes, bool finWritten) {
  stream.sentOffset_ += bytes;
  if (finWritten && stream.sentOffset_ == stream.queuedOffset_) stream.finSent_ = true;
  for (auto& chunk : stream.tx_) {
    if (chunk.completed) continue;
    if (chunk.offset + chunk.data.size() > stream.sentOffset_ || (chunk.fin && !stream.finSent_)) break;
    chunk.completed = true;
    if (chunk.completion) {
      asio::post(strand_, [completion = std::move(chunk.completion)] { completion(std::nullopt); });
      chunk.completion = nullptr;
    }
  }
  releaseAcked(stream);
}

void QUICGroup::releaseAcked(QUICStream& stream) {
  while (!stream.tx_.empty()) {
    const auto& front = stream.tx_.front();
    if (!front.completed || front.offset + front.data.size() > stream.ackedOffset_) break;
    if (front.fin && !stream.finSent_) break;
    stream.tx_.pop_front();
  }
}

void QUICGroup::failSends(QUICStream& stream, const std::string& reason) {
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

void QUICGroup::reportStream(const std::shared_ptr<QUICStream>& stream, QUICStreamState state,
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

void QUICGroup::streamStart(const std::shared_ptr<QUICStream>& stream) {
  if (ended_) {
    reportStream(stream, QUICStreamState::failed, endReason_.value_or("connection closed"));
    return;
  }
  reportStream(stream, QUICStreamState::ready, std::nullopt);
}

void QUICGroup::streamSend(const std::shared_ptr<QUICStream>& stream, Bytes data, bool fin,
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
  scheduleWrite();
}

void QUICGroup::streamReceive(const std::shared_ptr<QUICStream>& stream, QUICStream::PendingReceive request) {
  if (stream->pendingReceive_) {
    asio::post(strand_, [completion = std::move(request.completion)] {
      completion({}, false, QUICTransportError{"a receive is already pending"});
    });
    return;
  }
  stream->pendingReceive_ = std::move(request);
  deliver(stream);
}

void QUICGroup::deliver(const std::shared_ptr<QUICStream>& stream) {
  if (!stream->pendingReceive_) return;
  std::size_t available = stream->rx_.size() - stream->rxHead_;
  auto& request = *stream->pendingReceive_;
  std::size_t minimum = std::max<std::size_t>(1, request.minimum);
  if (stream->rxEndDelivered_) {
    auto completion = std::move(request.completion);
    stream->pendingReceive_.reset();
    asio::post(strand_, [completion] { completion({}, true, std::nullopt); });
    return;
  }
  bool endKnown = stream->rxFin_;
  if (stream->rxError_ && !endKnown) {
    auto completion = std::move(request.completion);
    stream->pendingReceive_.reset();
    stream->rxEndDelivered_ = true;
    asio::post(strand_,
               [completion, reason = *stream->rxError_] { completion({}, false, QUICTransportError{reason}); });
    return;
  }
  if (available < minimum && !endKnown) return;
  std::size_t take = std::min(available, std::max<std::size_t>(1, request.maximum));
  auto begin = stream->rx_.begin() + static_cast<std::ptrdiff_t>(stream->rxHead_);
  Bytes content(begin, begin + static_cast<std::ptrdiff_t>(take));
  stream->rxHead_ += take;
  if (stream->rxHead_ == stream->rx_.size()) {
    stream->rx_.clear();
    stream->rxHead_ = 0;
  }
  stream->buffered_.store(stream->rx_.size() - stream->rxHead_);
  bool complete = endKnown && stream->rx_.size() == stream->rxHead_;
  if (complete) stream->rxEndDelivered_ = true;
  if (take > 0 && conn_ && !ended_ && !stackEnded_) {
    // The application took the data: give the peer room for as much again.
    if (!stream->rxFin_ && !stream->closedByStack_) ngtcp2_conn_extend_max_stream_offset(conn_, stream->id_, take);
    ngtcp2_conn_extend_max_offset(conn_, take);
    scheduleWrite();
  }
  auto completion = std::move(request.completion);
  stream->pendingReceive_.reset();
  asio::post(strand_, [completion, content = std::move(content), complete]() mutable {
    completion(std::move(content), complete, std::nullopt);
  });
}

void QUICGroup::streamCancel(const std::shared_ptr<QUICStream>& stream) {
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
