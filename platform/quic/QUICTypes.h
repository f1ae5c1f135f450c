#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/any_io_executor.hpp>

#include "base/Bytes.h"

namespace brindlet::platform {

// What went wrong in the transport, as a sentence fragment for logs and failure reasons.
struct QUICTransportError {
  std::string text;
};

// The life of a connection group: created, started and waiting for the network, usable,
// ended by an error, or ended by its owner.
enum class QUICGroupState { setup, waiting, ready, failed, cancelled };

// The life of one stream of a group.
enum class QUICStreamState { setup, ready, failed, cancelled };

// The certificate and P-256 private key an endpoint presents in the TLS handshake.
struct QUICIdentity {
  Bytes certificateDER;
  Bytes privateKeyDER;  // PKCS#8 or SEC 1

  // Reads a PEM certificate and PEM key. Throws std::runtime_error when either does not
  // decode or the key is not a P-256 key.
  static QUICIdentity fromPEM(std::string_view certificatePEM, std::string_view privateKeyPEM);
  // Checks the DER pair the same way. Throws std::runtime_error.
  static QUICIdentity fromDER(Bytes certificateDER, Bytes privateKeyDER);
};

// What a verify hook sees of the peer: its certificate chain in DER, leaf first.
struct QUICPeerTrust {
  std::vector<Bytes> certificateChain;
};

using QUICVerifyCompletion = std::function<void(bool accept)>;
// Decides about the peer's certificate; may complete at any later time, from any thread.
using QUICVerifyHook = std::function<void(QUICPeerTrust, QUICVerifyCompletion)>;

// Everything a group agrees with its peer before the first stream opens.
struct QUICParameters {
  std::vector<std::string> applicationProtocols;
  std::uint64_t idleTimeoutMilliseconds = 30000;
  // Sends a PING after a third of the agreed idle time-out without sending anything, so that
  // a quiet connection (a still screen, a silent peer) is not closed as idle.
  bool keepAlive = false;
  std::uint64_t initialMaxData = 16 * 1024 * 1024;
  std::uint64_t initialMaxStreamDataBidiLocal = 4 * 1024 * 1024;
  std::uint64_t initialMaxStreamDataBidiRemote = 4 * 1024 * 1024;
  std::uint64_t initialMaxStreamsBidi = 8;
  // The largest UDP payload sent and accepted; the stack's own default when absent.
  std::optional<std::uint64_t> maxUDPPayloadSize;
  // Group-level messages (QUIC datagrams) up to this size are accepted and ignored; 0 refuses them.
  std::uint64_t maxGroupMessageSize = 0;
  std::optional<QUICIdentity> localIdentity;
  // Installed as the TLS certificate check; without it any peer certificate is accepted.
  QUICVerifyHook verify;
  // Where the verify hook runs; a strand of the group's context when absent.
  std::optional<asio::any_io_executor> verifyExecutor;
  // How long the stack itself keeps a connection that has not finished its handshake.
  std::chrono::milliseconds stackHandshakeTimeout{10000};
};

}  // namespace brindlet::platform
