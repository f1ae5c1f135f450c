#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "base/Bytes.h"
#include "platform/quic/QUICStream.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet::platform {

class QUICSocket;

// One QUIC connection carrying many streams: opened towards an endpoint (client side) or
// accepted by a QUICListener (server side). Public methods may be called from any thread
// unless marked; handlers run on executor(), one at a time, never inside the stack.
class QUICGroup : public std::enable_shared_from_this<QUICGroup> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using StateHandler = std::function<void(QUICGroupState, std::optional<QUICTransportError>)>;
  using NewStreamHandler = std::function<void(std::shared_ptr<QUICStream>)>;

  // A client-side group towards `remote`; nothing happens before start().
  static std::shared_ptr<QUICGroup> connect(asio::io_context& context, const asio::ip::udp::endpoint& remote,
                                            QUICParameters parameters);

  ~QUICGroup();
  QUICGroup(const QUICGroup&) = delete;
  QUICGroup& operator=(const QUICGroup&) = delete;

  void setStateHandler(StateHandler handler);
  // Streams the peer opens. Set it before start(); streams that arrive earlier wait for it.
  void setNewStreamHandler(NewStreamHandler handler);
  // Client: starts the handshake. Server: reports `ready` and hands over waiting streams.
  void start();
  // Closes the connection without error and reports `cancelled`.
  void cancel();

  // On executor(): opens a bidirectional stream, or nothing when the group is not ready or
  // the peer allows no further stream.
  std::shared_ptr<QUICStream> openStream();
  // RFC 8446 exporter of the established session; nothing before the handshake finished.
  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length);
  // The peer's certificates (DER, leaf first) as seen in the handshake.
  std::vector<Bytes> peerCertificateChain() const;
  // The negotiated application protocol; empty before the handshake finished.
  std::string applicationProtocol() const;

  const Strand& executor() const { return strand_; }
  bool isServer() const { return server_; }
  asio::ip::udp::endpoint remoteEndpoint() const { return remote_; }

 private:
  friend class QUICStream;
  friend class QUICListener;
  struct Callbacks;

  // What a listener learns from its groups.
  struct ListenerHooks {
    std::function<void(const Bytes&, std::shared_ptr<QUICGroup>)> addConnectionID;
    std::function<void(const Bytes&)> removeConnectionID;
    std::function<void(std::shared_ptr<QUICGroup>)> established;
    std::function<void(std::shared_ptr<QUICGroup>)> gone;
  };

  QUICGroup(asio::io_context& context, Strand strand, QUICParameters parameters, bool server);

  static std::shared_ptr<QUICGroup> accept(asio::io_context& context, Strand strand, std::shared_ptr<QUICSocket> socket,
                                           const QUICParameters& parameters, const ngtcp2_pkt_hd& header,
                                           const asio::ip::udp::endpoint& remote, ListenerHooks hooks,
                                           Bytes& initialConnectionID);

  bool setUpClient(std::string& error);
  bool setUpServer(const ngtcp2_pkt_hd& header, std::string& error);
  bool setUpTLS(std::string& error);
  void fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params);
  void setPath();

  // Packet flow (strand).
  void receiveDatagram(const std::uint8_t* data, std::size_t size);
  void afterReceiving();
  void writePackets();
  void scheduleWrite();
  bool flushPending();
  bool sendBatch(const std::uint8_t* data, std::size_t size, std::size_t segment);
  void armTimer();
  void onTimer();
  void onSocketError(std::error_code error);

  // Ending (strand).
  void closeWithLibraryError(int code);
  void closeWith(const ngtcp2_connection_close_error& error, QUICGroupState state, std::optional<std::string> reason);
  void end(QUICGroupState state, std::optional<std::string> reason);
  std::string describePeerClose() const;

  // Stack callbacks (inside the stack).
  int onHandshakeCompleted();
  std::vector<Bytes> recordPeerChain();
  int onVerify();
  void onVerdict(bool accept);
  void maybeReportReady();
  int onStreamOpened(std::int64_t id);
  int onStreamData(std::int64_t id, std::uint32_t flags, const std::uint8_t* data, std::size_t size);
  int onStreamAcked(std::int64_t id, std::uint64_t offset, std::uint64_t length);
  int onStreamClosed(std::int64_t id, std::uint32_t flags, std::uint64_t code);
  int onStreamReset(std::int64_t id, std::uint64_t code);
  int onStreamStopSending(std::int64_t id, std::uint64_t code);
  int onStreamCredit(std::int64_t id);
  int onNewConnectionID(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length);
  int onRemoveConnectionID(const ngtcp2_cid* cid);

  // Stream operations (strand).
  std::shared_ptr<QUICStream> makeStream(std::int64_t id);
  void streamStart(const std::shared_ptr<QUICStream>& stream);
  void streamSend(const std::shared_ptr<QUICStream>& stream, Bytes data, bool fin,
                  QUICStream::SendCompletion completion);
  void streamReceive(const std::shared_ptr<QUICStream>& stream, QUICStream::PendingReceive request);
  void streamCancel(const std::shared_ptr<QUICStream>& stream);
  void deliver(const std::shared_ptr<QUICStream>& stream);
  void advance(QUICStream& stream, std::uint64_t bytes, bool finWritten);
  void releaseAcked(QUICStream& stream);
  void failSends(QUICStream& stream, const std::string& reason);
  void reportStream(const std::shared_ptr<QUICStream>& stream, QUICStreamState state,
                    std::optional<std::string> reason);
  void reportState(QUICGroupState state, std::optional<std::string> reason);

  asio::io_context& context_;
  Strand strand_;
  QUICParameters parameters_;
  bool server_;
  std::shared_ptr<QUICSocket> socket_;
  bool ownsSocket_ = false;
  asio::ip::udp::endpoint remote_;
  sockaddr_storage localAddress_{};
  socklen_t localLength_ = 0;
  sockaddr_storage remoteAddress_{};
  socklen_t remoteLength_ = 0;
  ngtcp2_path path_{};
  ngtcp2_conn* conn_ = nullptr;
  gnutls_session_t tls_ = nullptr;
  gnutls_certificate_credentials_t credentials_ = nullptr;
  ngtcp2_crypto_conn_ref connectionRef_{};
  asio::steady_timer timer_;
  ngtcp2_tstamp armedExpiry_ = UINT64_MAX;
  ListenerHooks hooks_;

  StateHandler stateHandler_;
  NewStreamHandler newStreamHandler_;
  std::vector<std::shared_ptr<QUICStream>> waitingStreams_;
  std::map<std::int64_t, std::shared_ptr<QUICStream>> streams_;
  std::deque<std::int64_t> sendQueue_;
  std::vector<std::shared_ptr<QUICStream>> receivedInto_;
  std::vector<Bytes> connectionIDs_;

  bool started_ = false;
  bool handshakeDone_ = false;
  bool announced_ = false;
  bool readyReported_ = false;
  bool ended_ = false;
  bool stackEnded_ = false;  // the stack wants no further packet (draining, dropped)
  QUICGroupState endState_ = QUICGroupState::setup;
  std::optional<std::string> endReason_;
  bool waiting_ = false;
  enum class Verdict { none, pending, accepted, rejected } verdict_ = Verdict::none;
  bool writeScheduled_ = false;

  std::vector<std::uint8_t> txBuffer_;
  std::size_t pendingOffset_ = 0;
  std::size_t pendingSize_ = 0;
  std::size_t pendingSegment_ = 0;
  bool waitingWritable_ = false;

  mutable std::mutex infoMutex_;
  std::vector<Bytes> peerChain_;
  std::string alpn_;
};

}  // namespace brindlet::platform
