#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/strand.hpp>

#include "base/Bytes.h"
#include "platform/quic/QUICStream.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet::platform {

// One QUIC connection carrying many streams: opened towards an endpoint (client side) or
// accepted by a QUICListener (server side). Public methods may be called from any thread
// unless marked; handlers run on executor(), one at a time, never inside the stack.
//
// The QUIC and TLS libraries stay behind this class: QUICGroupImpl.h (included by the
// layer's own sources only) holds the connection itself.
class QUICGroup {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using StateHandler = std::function<void(QUICGroupState, std::optional<QUICTransportError>)>;
  using NewStreamHandler = std::function<void(std::shared_ptr<QUICStream>)>;

  // A client-side group towards `remote`; nothing happens before start().
  static std::shared_ptr<QUICGroup> connect(asio::io_context& context, const asio::ip::udp::endpoint& remote,
                                            QUICParameters parameters);

  virtual ~QUICGroup() = default;
  QUICGroup(const QUICGroup&) = delete;
  QUICGroup& operator=(const QUICGroup&) = delete;

  virtual void setStateHandler(StateHandler handler) = 0;
  // Streams the peer opens. Set it before start(); streams that arrive earlier wait for it.
  virtual void setNewStreamHandler(NewStreamHandler handler) = 0;
  // Client: starts the handshake. Server: reports `ready` and hands over waiting streams.
  virtual void start() = 0;
  // Closes the connection without error and reports `cancelled`.
  virtual void cancel() = 0;

  // On executor(): opens a bidirectional stream, or nothing when the group is not ready or
  // the peer allows no further stream.
  virtual std::shared_ptr<QUICStream> openStream() = 0;
  // RFC 8446 exporter of the established session; nothing before the handshake finished.
  virtual std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) = 0;
  // The peer's certificates (DER, leaf first) as seen in the handshake.
  virtual std::vector<Bytes> peerCertificateChain() const = 0;
  // The negotiated application protocol; empty before the handshake finished.
  virtual std::string applicationProtocol() const = 0;

  const Strand& executor() const { return strand_; }
  bool isServer() const { return server_; }
  asio::ip::udp::endpoint remoteEndpoint() const { return remote_; }

 protected:
  QUICGroup(Strand strand, bool server, asio::ip::udp::endpoint remote)
      : strand_(std::move(strand)), server_(server), remote_(std::move(remote)) {}

  const Strand strand_;
  const bool server_;
  const asio::ip::udp::endpoint remote_;
};

}  // namespace brindlet::platform
