#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/strand.hpp>

#include "base/Bytes.h"
#include "platform/quic/QUICGroup.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet::platform {

class QUICGroupImpl;
class QUICSocket;

// The server side: one UDP socket, many connections. A group is handed out once its
// handshake has finished (application protocol agreed); half-open connections, stray and
// malformed datagrams never reach the owner.
class QUICListener : public std::enable_shared_from_this<QUICListener> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using GroupHandler = std::function<void(std::shared_ptr<QUICGroup>)>;

  // `parameters` must hold a local identity.
  static std::shared_ptr<QUICListener> make(asio::io_context& context, QUICParameters parameters);

  // Binds the socket (port 0 takes any) and starts receiving.
  std::error_code listen(const asio::ip::udp::endpoint& at);
  std::uint16_t port() const { return port_; }
  // Called on executor() with each established group; the owner sets its handlers and starts it.
  void setNewGroupHandler(GroupHandler handler);
  // Closes every connection and the socket.
  void cancel();
  // Connections the listener keeps (established or still in their handshake).
  std::size_t connectionCount() const;

  const Strand& executor() const { return strand_; }

  // At most this many connections at once; further handshakes are ignored.
  static constexpr std::size_t kMaxConnections = 256;

 private:
  QUICListener(asio::io_context& context, QUICParameters parameters);
  void onDatagram(const std::uint8_t* data, std::size_t size, const asio::ip::udp::endpoint& from);
  void onBurstEnd();
  void forget(const std::shared_ptr<QUICGroupImpl>& group);

  asio::io_context& context_;
  Strand strand_;
  QUICParameters parameters_;
  std::shared_ptr<QUICSocket> socket_;
  std::uint16_t port_ = 0;
  GroupHandler handler_;
  std::map<Bytes, std::shared_ptr<QUICGroupImpl>> byConnectionID_;
  std::set<std::shared_ptr<QUICGroupImpl>> groups_;
  std::vector<std::shared_ptr<QUICGroupImpl>> touched_;
  std::atomic<std::size_t> count_{0};
  bool cancelled_ = false;
};

}  // namespace brindlet::platform
