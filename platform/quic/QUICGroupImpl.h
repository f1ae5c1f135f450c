#pragma once

// The connection behind a QUICGroup, for the QUIC layer's own sources. Its work is spread
// over files by concern:
//   QUICGroup.cpp            creation, the public operations, ending
//   QUICGroupCallbacks.cpp   the stack's callback table, connection IDs issued and retired
//   QUICGroupPackets.cpp     receiving datagrams, writing packets in UDP batches
//   QUICGroupTimer.cpp       the stack's clock and expiry timer
//   QUICGroupHandshake.cpp   TLS set-up, application protocol, peer verification, exporter
//   QUICGroupStreams.cpp     stream data, acknowledgements and flow control
// TLS itself is behind TLSSession.h.

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
#include <vector>

#include <ngtcp2/ngtcp2.h>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

#include "base/Bytes.h"
#include "platform/quic/QUICGroup.h"
#include "platform/quic/QUICPacketBatch.h"
#include "platform/quic/QUICStream.h"
#include "platform/quic/QUICTypes.h"
#include "platform/quic/TLSSession.h"

namespace brindlet::platform {

class QUICSocket;

// The stack's clock: CLOCK_MONOTONIC in nanoseconds.
ngtcp2_tstamp quicTimestamp();

inline Bytes cidBytes(const ngtcp2_cid& cid) { return Bytes(cid.data, cid.data + cid.datalen); }

// The stack's sentence for one of its error codes.
inline std::string liberrText(int code) { return ngtcp2_strerror(code); }

class QUICGroupImpl final : public QUICGroup, public std::enable_shared_from_this<QUICGroupImpl> {
 public:
  // What a listener learns from its groups.
  struct ListenerHooks {
    std::function<void(const Bytes&, std::shared_ptr<QUICGroupImpl>)> addConnectionID;
    std::function<void(const Bytes&)> removeConnectionID;
    std::function<void(std::shared_ptr<QUICGroupImpl>)> established;
    std::function<void(std::shared_ptr<QUICGroupImpl>)> gone;
  };

  QUICGroupImpl(asio::io_context& context, Strand strand, QUICParameters parameters, bool server,
                asio::ip::udp::endpoint remote);
  ~QUICGroupImpl() override;

  // A server-side group for the first packet of a connection (`header`), answering through
  // the listener's socket; nothing when the stack or TLS refuses it. `initialConnectionID`
  // is the ID the client chose.
  static std::shared_ptr<QUICGroupImpl> accept(asio::io_context& context, Strand strand,
                                               std::shared_ptr<QUICSocket> socket, const QUICParameters& parameters,
                                               const ngtcp2_pkt_hd& header, const asio::ip::udp::endpoint& remote,
                                               ListenerHooks hooks, Bytes& initialConnectionID);

  void setStateHandler(StateHandler handler) override;
  void setNewStreamHandler(NewStreamHandler handler) override;
  void start() override;
  void cancel() override;
  std::shared_ptr<QUICStream> openStream() override;
  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) override;
  std::vector<Bytes> peerCertificateChain() const override;
  std::string applicationProtocol() const override;

  // For the listener (on the strand): a datagram of this connection, the end of a burst of
  // them, and the connection IDs it answers to.
  void receiveDatagram(const std::uint8_t* data, std::size_t size);
  void afterReceiving();
  const std::vector<Bytes>& connectionIDs() const { return connectionIDs_; }

  // For its streams (on the strand).
  void streamStart(const std::shared_ptr<QUICStream>& stream);
  void streamSend(const std::shared_ptr<QUICStream>& stream, Bytes data, bool fin,
                  QUICStream::SendCompletion completion);
  void streamReceive(const std::shared_ptr<QUICStream>& stream, QUICStream::PendingReceive request);
  void streamCancel(const std::shared_ptr<QUICStream>& stream);

 private:
  struct Callbacks;
  static ngtcp2_callbacks stackCallbacks(bool server);

  // Room for the packets written in one go, and the runs they are sent in.
  static constexpr std::size_t kTxBufferSize = 65536;

  // Creation.
  bool setUpClient(std::string& error);
  bool setUpServer(const ngtcp2_pkt_hd& header, std::string& error);
  bool setUpTLS(std::string& error);
  void fillSettings(ngtcp2_settings& settings, ngtcp2_transport_params& params);
  void setPath();

  // Packet flow (strand).
  void writePackets();
  void scheduleWrite();
  // Writes once the handlers that this turn's deliveries resumed have had their turn.
  void writeAfterReaders();
  // The write scheduled by either of the two above (on the strand).
  static void runScheduledWrite(const std::weak_ptr<QUICGroupImpl>& weak);
  // Sends a run of packets; the bytes that left (fewer when the socket is full).
  std::size_t sendRun(const std::uint8_t* data, std::size_t size, std::size_t segment);
  void waitUntilWritable();
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
  void armKeepAlive();
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
  // Lists the stream for delivery after the current burst of datagrams, once.
  void noteReceived(const std::shared_ptr<QUICStream>& stream);
  // Completes the stream's pending receive when it can: at once with `now` (the caller is a
  // strand turn of its own, outside the stack and any completion), else posted. Whether it
  // completed one.
  bool deliver(const std::shared_ptr<QUICStream>& stream, bool now = false);
  void advance(QUICStream& stream, std::uint64_t bytes, bool finWritten);
  void releaseAcked(QUICStream& stream);
  void failSends(QUICStream& stream, const std::string& reason);
  void reportStream(const std::shared_ptr<QUICStream>& stream, QUICStreamState state,
                    std::optional<std::string> reason);
  void reportState(QUICGroupState state, std::optional<std::string> reason);

  asio::io_context& context_;
  QUICParameters parameters_;
  std::shared_ptr<QUICSocket> socket_;
  bool ownsSocket_ = false;
  sockaddr_storage localAddress_{};
  socklen_t localLength_ = 0;
  sockaddr_storage remoteAddress_{};
  socklen_t remoteLength_ = 0;
  ngtcp2_path path_{};
  ngtcp2_conn* conn_ = nullptr;
  std::unique_ptr<TLSSession> tls_;  // released after conn_
  asio::steady_timer timer_;
  ngtcp2_tstamp armedExpiry_ = UINT64_MAX;
  bool dueCheckScheduled_ = false;  // the stack looks at its clock at the end of this turn
  int dueChecksInARow_ = 0;
  static constexpr int kMaxDueChecksInARow = 16;
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
  std::size_t datagramsInBurst_ = 0;  // read since the last end of a burst

  QUICPacketBatch batch_;
  bool waitingWritable_ = false;

  mutable std::mutex infoMutex_;
  std::vector<Bytes> peerChain_;
  std::string alpn_;
};

}  // namespace brindlet::platform
