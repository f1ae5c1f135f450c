#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "kit/support/UUID.h"
#include "kit/support/detail/Parked.h"
#include "kit/transport/Connection.h"
#include "kit/transport/HostListener.h"
#include "kit/transport/QUICConfiguration.h"
#include "platform/dnssd/DNSSDRegistration.h"
#include "platform/quic/QUICListener.h"

namespace brindlet {

class QUICConnection;

// The host's QUIC listener: one UDP port presenting the host's TLS identity, advertised as
// a "_nolu._udp" DNS-SD service with the host ID under the TXT key "id". Every accepted
// connection is handed out on connections() only once it is ready; the rest are closed.
class QUICHostListener final : public HostListener, public std::enable_shared_from_this<QUICHostListener> {
 public:
  // Uses `identity`, or makes a throw-away one named after `hostName` when none is given
  // (which may throw IdentityError). `port`: the UDP port to bind, or any port when absent.
  static std::shared_ptr<QUICHostListener> create(asio::io_context& context, std::string hostName,
                                                  std::optional<UUID> hostID,
                                                  std::shared_ptr<SelfSignedIdentity> identity,
                                                  std::optional<std::uint16_t> port, bool advertise,
                                                  QUICConfiguration configuration, std::shared_ptr<Clock> clock);
  ~QUICHostListener() override;

  // Starts listening; throws what the QUIC layer throws when it cannot make the listener.
  void start() override;
  AsyncStream<std::shared_ptr<Connection>> connections() override { return connections_; }
  // Stops listening, withdraws the advertisement and ends connections(); safe more than once.
  void stop() override;

  // The bound UDP port once the listener is ready; throws the listener's failure, or
  // QUICError "stopped" when it was stopped before it became ready.
  asio::awaitable<std::uint16_t> waitUntilReady();

  const Bytes& certificateFingerprint() const { return certificateFingerprint_; }
  const std::string& hostName() const { return hostName_; }
  // The name the advertisement is published under (the host name, or the next free
  // alternative when another service has it); empty until it is published.
  std::string advertisedName() const;

  // An advertisement that fails (no mDNS daemon, or it went away) leaves the port listening,
  // reachable by address, and is tried again after min(2^k, 30) s, k being the failures in a
  // row before it: the back-off of the listener's own restarts.

 private:
  // Why a wait ends without a port. Each waiter throws an exception of its own made from
  // it, on its own thread: no exception object is shared between threads.
  struct PortFailure {
    enum class Kind { failed, stopped, cancelled };
    Kind kind = Kind::failed;
    std::error_code error;  // failed
    [[noreturn]] void raise() const;
  };
  using PortResult = std::variant<std::uint16_t, PortFailure>;
  struct PortWaiter {
    std::uint64_t id = 0;
    detail::Parked<PortResult> parked;
  };
  struct CancelPortWait;

  QUICHostListener(asio::io_context& context, std::string hostName, std::optional<UUID> hostID,
                   std::shared_ptr<SelfSignedIdentity> identity, std::optional<std::uint16_t> port, bool advertise,
                   QUICConfiguration configuration, std::shared_ptr<Clock> clock);

  void onReady(std::uint16_t port);
  // Publishes the service for `port` (on queue_); a failure schedules the next attempt.
  void advertise(std::uint16_t port);
  void advertisementFailed(std::uint64_t registration, std::uint16_t port, const std::string& error);
  void onFailed(const std::error_code& error);
  void onGroup(std::shared_ptr<platform::QUICGroup> group);
  static asio::awaitable<void> awaitConnection(std::weak_ptr<QUICHostListener> weak,
                                               std::shared_ptr<QUICConnection> connection);
  static void resumeWaiters(std::vector<PortWaiter> waiters, const PortResult& result);
  void cancelWaiter(std::uint64_t id);

  asio::io_context& context_;
  AsyncStream<std::shared_ptr<Connection>> connections_;
  Bytes certificateFingerprint_;
  const std::string hostName_;
  const std::optional<UUID> hostID_;
  const bool advertise_;
  const std::optional<std::uint16_t> requestedPort_;
  const QUICConfiguration configuration_;
  const std::shared_ptr<Clock> clock_;  // the accepted connections' timers
  std::shared_ptr<SelfSignedIdentity> identity_;
  const Strand queue_;  // runs the platform listener's events

  mutable std::mutex lock_;
  std::shared_ptr<platform::QUICListener> listener_;
  std::unique_ptr<platform::DNSSDRegistration> registration_;
  std::string advertisedName_;
  std::uint64_t registrationID_ = 0;        // the current registration's; older events are stale
  std::int64_t advertisementFailures_ = 0;  // in a row
  Task advertisementRetry_;
  bool stopped_ = false;
  std::vector<PortWaiter> portWaiters_;
  std::uint64_t lastWaiterID_ = 0;
  std::optional<std::uint16_t> boundPort_;
  std::optional<std::error_code> startError_;
  // One task per accepted connection, waiting for it to become ready; stop() and the
  // destructor cancel them. (QUICConnection::waitUntilReady() does not observe cancellation:
  // a cancelled task ends with its connection, which stop() ends by cancelling the listener.)
  std::vector<Task> admissions_;
};

}  // namespace brindlet
