#include "kit/relay/RelayTunnel.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/socket_base.hpp>

#include "kit/relay/RelaySigner.h"
#include "platform/net/NetworkPathMonitor.h"

namespace brindlet {
namespace {

// A monitor of this machine's path per connection; a monitor that cannot start reports nothing.
std::function<void()> watchSystemPath(const Strand& strand, std::function<void(const platform::NetworkPath&)> handler) {
  auto monitor = std::make_shared<platform::NetworkPathMonitor>(strand, std::move(handler));
  try {
    monitor->start();
  } catch (const std::exception&) {
  }
  return [monitor] { monitor->cancel(); };
}

}  // namespace

const char* relayRoleName(RelayRole role) { return role == RelayRole::host ? "host" : "client"; }

std::optional<RelayRole> relayRole(std::string_view text) {
  if (text == "host") return RelayRole::host;
  if (text == "client") return RelayRole::client;
  return std::nullopt;
}

std::shared_ptr<RelayTunnel> RelayTunnel::make(const Executor& executor, std::shared_ptr<Clock> clock, RelayRole role,
                                               RelayEndpoint endpoint, std::shared_ptr<RelaySigner> signer,
                                               Options options, CredentialProvider credentials) {
  return std::make_shared<RelayTunnel>(executor, std::move(clock), role, std::move(endpoint), std::move(signer),
                                       std::move(options), std::move(credentials));
}

RelayTunnel::RelayTunnel(const Executor& executor, std::shared_ptr<Clock> clock, RelayRole role, RelayEndpoint endpoint,
                         std::shared_ptr<RelaySigner> signer, Options options, CredentialProvider credentials)
    : strand_(makeStrand(executor)),
      clock_(std::move(clock)),
      role_(role),
      endpoint_(std::move(endpoint)),
      signer_(std::move(signer)),
      options_(std::move(options)),
      credentials_(std::move(credentials)),
      log_("io.tavix.nolu.relay", "tunnel") {}

RelayTunnel::~RelayTunnel() {
  events_.finish();
  if (stopPathWatch_) stopPathWatch_();
}

void RelayTunnel::start() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->started_ || self->stopped_) return;
    self->started_ = true;
    self->openConnection();
    self->startFlow();
  });
}

void RelayTunnel::stop() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->stopped_) return;
    self->stopped_ = true;
    if (self->established_ && self->socket_) {
      std::uint32_t peer = self->role_ == RelayRole::client ? self->peer_ : 0;
      self->sendFrame({RelayPacketType::close, self->session_, peer, {}});
    }
    self->closeSocket();
    self->setEstablished(false);
    self->keepaliveTimer_ = Task();
    self->retryTimer_ = Task();
    self->credentialTask_ = Task();
    self->reconnectTask_ = Task();
    self->events_.finish();
  });
}

void RelayTunnel::send(std::uint32_t peer, ByteView datagram) {
  if (strand_.running_in_this_thread()) {
    sendData(peer, datagram);
    return;
  }
  asio::post(strand_, [self = shared_from_this(), peer, datagram = Bytes(datagram.begin(), datagram.end())] {
    self->sendData(peer, datagram);
  });
}

void RelayTunnel::gather(std::uint32_t peer, ByteView datagram) {
  if (!strand_.running_in_this_thread()) {
    send(peer, datagram);
    return;
  }
  addData(peer, datagram);
}

void RelayTunnel::flush() {
  if (!outgoing_.empty()) flushOutgoing();
}

bool RelayTunnel::addData(std::uint32_t peer, ByteView datagram) {
  if (!established_ || stopped_ || !socket_ || RelayWire::headerSize + datagram.size() > RelayWire::maxFrameSize) {
    return false;
  }
  std::uint32_t to = role_ == RelayRole::client ? peer_ : peer;
  const auto header = RelayWire::encodeHeader(RelayPacketType::data, session_, to);
  if (!outgoing_.add(header, datagram)) {
    flushOutgoing();
    outgoing_.add(header, datagram);
  }
  return true;
}

void RelayTunnel::sendData(std::uint32_t peer, ByteView datagram) {
  if (!addData(peer, datagram) || flushQueued_) return;
  flushQueued_ = true;
  std::weak_ptr<RelayTunnel> weak = weak_from_this();
  asio::post(strand_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->flushQueued_ = false;
    self->flushOutgoing();
  });
}

void RelayTunnel::flushOutgoing() {
  if (socket_) {
    outgoing_.flush(*socket_);
  } else {
    outgoing_.clear();
  }
}

void RelayTunnel::setDataSink(DataSink sink, BatchEnd batchEnd) {
  asio::post(strand_, [self = shared_from_this(), sink = std::move(sink), batchEnd = std::move(batchEnd)]() mutable {
    self->dataSink_ = std::move(sink);
    self->batchEnd_ = std::move(batchEnd);
  });
}

void RelayTunnel::setDenied(std::vector<Bytes> keys) {
  asio::post(strand_, [self = shared_from_this(), keys = std::move(keys)]() mutable {
    self->denied_ = std::move(keys);
    if (self->role_ == RelayRole::host && self->established_ && !self->stopped_) self->sendDenied();
  });
}

void RelayTunnel::closeSocket() {
  if (stopPathWatch_) {
    stopPathWatch_();
    stopPathWatch_ = nullptr;
  }
  if (resolver_) resolver_->cancel();
  resolver_.reset();
  if (socket_) {
    asio::error_code ignored;
    socket_->close(ignored);
  }
  socket_.reset();
  outgoing_.clear();
}

void RelayTunnel::openConnection() {
  closeSocket();
  std::uint64_t generation = ++connGeneration_;
  if (endpoint_.port == 0) {
    emit(RelayTunnelEvent::unavailable("bad relay port"));
    return;
  }
  resolver_ = std::make_unique<asio::ip::udp::resolver>(strand_);
  std::weak_ptr<RelayTunnel> weak = weak_from_this();
  resolver_->async_resolve(
      endpoint_.host, std::to_string(endpoint_.port),
      asio::bind_executor(
          strand_, [weak, generation](const asio::error_code& error, asio::ip::udp::resolver::results_type results) {
            if (auto self = weak.lock()) self->onResolved(generation, error, results);
          }));
  auto watcher = options_.pathWatcher ? options_.pathWatcher : PathWatcher(watchSystemPath);
  stopPathWatch_ = watcher(strand_, [weak, generation](const platform::NetworkPath& path) {
    if (auto self = weak.lock()) self->onPath(generation, path);
  });
}

void RelayTunnel::onResolved(std::uint64_t generation, const asio::error_code& error,
                             const asio::ip::udp::resolver::results_type& results) {
  if (generation != connGeneration_ || stopped_) return;
  if (error || results.empty()) {
    connectionFailed(generation, error ? error.message() : "no address");
    return;
  }
  auto socket = std::make_unique<asio::ip::udp::socket>(strand_);
  asio::error_code failure;
  auto target = results.begin()->endpoint();
  socket->open(target.protocol(), failure);
  if (!failure) {
    asio::error_code ignored;
    socket->set_option(asio::socket_base::receive_buffer_size(1 << 20), ignored);
    socket->set_option(asio::socket_base::send_buffer_size(1 << 20), ignored);
    socket->non_blocking(true, ignored);
    platform::enableReceiveCoalescing(*socket);
    socket->connect(target, failure);
  }
  if (failure) {
    connectionFailed(generation, failure.message());
    return;
  }
  socket_ = std::move(socket);
  armReceive(generation);
  // A request made while the address was being resolved goes out now, not at the next retry.
  if (purpose_ && (credential_ || *purpose_ == RelayPurpose::rebind)) sendCurrentRequest();
}

void RelayTunnel::armReceive(std::uint64_t generation) {
  std::weak_ptr<RelayTunnel> weak = weak_from_this();
  socket_->async_wait(asio::ip::udp::socket::wait_read,
                      asio::bind_executor(strand_, [weak, generation](const asio::error_code& error) {
                        if (auto self = weak.lock()) self->onReadable(generation, error);
                      }));
}

void RelayTunnel::onReadable(std::uint64_t generation, const asio::error_code& error) {
  if (generation != connGeneration_ || stopped_ || !socket_) return;
  if (error) {
    if (error == asio::error::operation_aborted) return;
    connectionFailed(generation, error.message());
    return;
  }
  if (!drain(generation)) return;
  if (generation == connGeneration_ && !stopped_ && socket_) armReceive(generation);
}

// Reads the datagrams waiting on the socket, a bounded number at a time so that timers and
// calls queued on the strand take turns with a busy flow. Data frames go to the sink (or become
// data events) only when established and of the session; every other datagram is decoded and
// handled, and one that does not decode is dropped.
bool RelayTunnel::drain(std::uint64_t generation) {
  for (int round = 0; round < 4; ++round) {
    asio::error_code error;
    const std::size_t count = receiver_.receive(*socket_, error);
    if (error == asio::error::connection_refused) {
      // An ICMP "port unreachable" for an earlier datagram: the socket itself is fine, and the
      // handshake's retries decide when the relay counts as silent.
      continue;
    }
    if (error) {
      connectionFailed(generation, error.message());
      return false;
    }
    // What the sink took of this read goes on when the read is through, also when handling
    // one of its frames ends the drain.
    bool sunk = false;
    struct BatchEnder {
      const bool& sunk;
      const BatchEnd& end;
      ~BatchEnder() {
        if (sunk && end) end();
      }
    } ender{sunk, batchEnd_};
    for (std::size_t i = 0; i < count; ++i) {
      const ByteView datagram = receiver_.bytes(i);
      const bool whole = !receiver_.datagram(i).truncated && datagram.size() <= RelayWire::maxFrameSize;
      if (whole && datagram.size() >= RelayWire::headerSize &&
          datagram[0] == static_cast<std::uint8_t>(RelayPacketType::data)) {
        if (established_ && RelayWire::readUInt32(datagram, 1) == session_) {
          const std::uint32_t peer = RelayWire::readUInt32(datagram, 5);
          const ByteView payload = datagram.subspan(RelayWire::headerSize);
          if (dataSink_ && dataSink_(peer, payload)) {
            sunk = true;
          } else {
            emit(RelayTunnelEvent::datagram(peer, Bytes(payload.begin(), payload.end())));
          }
        }
      } else if (whole) {
        try {
          handle(RelayWire::decodeFrame(datagram));
        } catch (const RelayFrameError&) {
          // Not a relay frame: dropped.
        }
      }
      if (generation != connGeneration_ || stopped_ || !socket_) return false;
    }
    if (!receiver_.more()) return true;
  }
  return true;
}

void RelayTunnel::connectionFailed(std::uint64_t generation, const std::string& reason) {
  log_.error("relay socket failed: %s", reason.c_str());
  closeSocket();
  reconnectTask_ = Task::spawn(strand_, reconnectLater(weak_from_this(), clock_, options_.reconnectDelay, generation));
}

asio::awaitable<void> RelayTunnel::reconnectLater(std::weak_ptr<RelayTunnel> weak, std::shared_ptr<Clock> clock,
                                                  Clock::Duration delay, std::uint64_t generation) {
  co_await clock->sleep(delay);
  auto self = weak.lock();
  if (!self || generation != self->connGeneration_ || self->stopped_) co_return;
  self->openConnection();
  self->startFlow();
}

void RelayTunnel::onPath(std::uint64_t generation, const platform::NetworkPath& path) {
  if (generation != connGeneration_ || stopped_) return;
  if (firstPathUpdate_) {
    firstPathUpdate_ = false;
    return;
  }
  if (!path.satisfied) return;
  if (role_ == RelayRole::host) {
    startFlow();
  } else if (established_) {
    beginFlow(RelayPurpose::rebind, true);
  }
}

void RelayTunnel::startFlow() {
  setEstablished(false);
  keepaliveTimer_ = Task();
  std::uint64_t flow = beginFlow(role_ == RelayRole::host ? RelayPurpose::registration : RelayPurpose::join, false);
  credentialTask_ = Task::spawn(strand_, fetchCredential(weak_from_this(), credentials_, flow));
}

asio::awaitable<void> RelayTunnel::fetchCredential(std::weak_ptr<RelayTunnel> weak, CredentialProvider provider,
                                                   std::uint64_t flow) {
  std::optional<Bytes> credential;
  std::string failure;
  try {
    credential = co_await provider(false);
  } catch (const asio::system_error& error) {
    if (error.code() == asio::error::operation_aborted) throw;
    failure = error.what();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  auto self = weak.lock();
  if (!self || flow != self->flowGeneration_ || self->stopped_) co_return;
  if (credential) {
    self->credential_ = std::move(*credential);
    self->startAttempts();
  } else {
    self->emit(RelayTunnelEvent::unavailable("credential: " + failure));
  }
}

std::uint64_t RelayTunnel::beginFlow(RelayPurpose purpose, bool send) {
  std::uint64_t flow = ++flowGeneration_;
  purpose_ = purpose;
  cookie_.reset();
  pendingFrame_.reset();
  if (purpose != RelayPurpose::rebind) credential_.reset();
  attempts_ = 0;
  cookieRetries_ = 0;
  retryTimer_ = Task();
  if (send) startAttempts();
  return flow;
}

void RelayTunnel::startAttempts() {
  sendCurrentRequest();
  std::uint64_t flow = flowGeneration_;
  retryTimer_ = Task::spawn(strand_, tick(weak_from_this(), clock_, options_.retryInterval, [flow](RelayTunnel& self) {
                              self.retryTick(flow);
                              return flow == self.flowGeneration_ && self.purpose_ && !self.stopped_ &&
                                     self.attempts_ < self.options_.maxHandshakeAttempts;
                            }));
}

asio::awaitable<void> RelayTunnel::tick(std::weak_ptr<RelayTunnel> weak, std::shared_ptr<Clock> clock,
                                        Clock::Duration interval, std::function<bool(RelayTunnel&)> onTick) {
  for (;;) {
    co_await clock->sleep(interval);
    auto self = weak.lock();
    if (!self || !onTick(*self)) co_return;
  }
}

void RelayTunnel::retryTick(std::uint64_t flow) {
  if (flow != flowGeneration_ || !purpose_ || stopped_) return;
  ++attempts_;
  if (attempts_ < options_.maxHandshakeAttempts) {
    sendCurrentRequest();
    return;
  }
  if (*purpose_ == RelayPurpose::rebind) {
    startFlow();
  } else {
    emit(RelayTunnelEvent::unavailable("no reply from relay"));
  }
}

void RelayTunnel::sendCurrentRequest() {
  if (!purpose_ || !socket_) return;
  if (pendingFrame_) {
    sendFrame(*pendingFrame_);
  } else {
    sendFrame({RelayPacketType::challengeRequest, 0, 0, RelayWire::challengeRequestPayload(*purpose_)});
  }
}

void RelayTunnel::sendFrame(const RelayFrame& frame) {
  sendFrame(frame.type, frame.session, frame.peer, frame.payload);
}

// The header and the payload go out as one datagram from where they lie; a payload too large
// for a frame is dropped whole.
void RelayTunnel::sendFrame(RelayPacketType type, std::uint32_t session, std::uint32_t peer, ByteView payload) {
  if (!socket_ || RelayWire::headerSize + payload.size() > RelayWire::maxFrameSize) return;
  flushOutgoing();  // data gathered before this frame goes first
  const std::array<std::uint8_t, RelayWire::headerSize> header = RelayWire::encodeHeader(type, session, peer);
  const std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(payload.data(), payload.size())};
  asio::error_code ignored;
  socket_->send(parts, 0, ignored);
}

void RelayTunnel::handle(const RelayFrame& frame) {
  const bool host = role_ == RelayRole::host;
  switch (frame.type) {
    case RelayPacketType::close:
      if (!established_ || frame.session != session_) return;
      if (host) {
        emit(RelayTunnelEvent::peerClosed(frame.peer));
      } else {
        setEstablished(false);
        keepaliveTimer_ = Task();
        finishFlow();
        emit(RelayTunnelEvent::sessionClosed());
      }
      return;
    case RelayPacketType::error:
      if (auto code = frame.errorCode()) handleError(*code, frame.session);
      return;
    case RelayPacketType::registered:
      if (!host || purpose_ != RelayPurpose::registration) return;
      session_ = frame.session;
      sessionNow_ = session_;
      becomeEstablished();
      sendDenied();
      emit(RelayTunnelEvent::registered(session_));
      return;
    case RelayPacketType::joined:
      if (host || purpose_ != RelayPurpose::join) return;
      session_ = frame.session;
      peer_ = frame.peer;
      sessionNow_ = session_;
      peerNow_ = peer_;
      becomeEstablished();
      emit(RelayTunnelEvent::joined(session_, peer_));
      return;
    case RelayPacketType::peerJoined:
      if (host && established_ && frame.session == session_) emit(RelayTunnelEvent::peerJoined(frame.peer));
      return;
    case RelayPacketType::challenge:
      handleChallenge(frame);
      return;
    case RelayPacketType::rebound:
      if (!host && purpose_ == RelayPurpose::rebind && frame.session == session_ && frame.peer == peer_) finishFlow();
      return;
    default:
      return;
  }
}

void RelayTunnel::handleChallenge(const RelayFrame& frame) {
  if (!purpose_ || cookie_) return;
  if (frame.payload.size() != RelayWire::challengeSize) return;
  if (frame.payload[0] != static_cast<std::uint8_t>(*purpose_)) return;
  Bytes cookie(frame.payload.begin() + 1, frame.payload.end());
  if (*purpose_ != RelayPurpose::rebind && !credential_) return;
  RelayFrame request;
  try {
    switch (*purpose_) {
      case RelayPurpose::registration: {
        Bytes signature = signer_->sign(RelayWire::registerMessage(cookie, *credential_, signer_->publicKey()));
        request = {RelayPacketType::registerRequest, 0, 0,
                   RelayWire::registerPayload(signer_->publicKey(), cookie, *credential_, signature)};
        break;
      }
      case RelayPurpose::join: {
        Bytes signature = signer_->sign(RelayWire::joinMessage(cookie, *credential_));
        request = {RelayPacketType::join, 0, 0, RelayWire::joinPayload(cookie, *credential_, signature)};
        break;
      }
      case RelayPurpose::rebind: {
        Bytes signature = signer_->sign(RelayWire::rebindMessage(cookie, session_, peer_));
        request = {RelayPacketType::rebind, session_, peer_, RelayWire::rebindPayload(cookie, signature)};
        break;
      }
    }
  } catch (const std::exception&) {
    emit(RelayTunnelEvent::unavailable("signing failed"));
    return;
  }
  cookie_ = std::move(cookie);
  pendingFrame_ = std::move(request);
  sendFrame(*pendingFrame_);
}

void RelayTunnel::handleError(RelayErrorCode code, std::uint32_t session) {
  const char* again = role_ == RelayRole::client ? "re-joining" : "re-registering";
  switch (code) {
    case RelayErrorCode::unknownHost:
      if (role_ == RelayRole::client && everEstablished_) {
        log_.info("relay does not know the host yet; retrying join");
        return;
      }
      break;
    case RelayErrorCode::unknownSession:
      if (established_) {
        log_.info("relay lost our session; %s", again);
        startFlow();
        return;
      }
      if (everEstablished_) return;
      break;
    case RelayErrorCode::badCookie:
      if (!purpose_) return;
      if (++cookieRetries_ <= options_.maxCookieRetries) {
        cookie_.reset();
        pendingFrame_.reset();
        sendCurrentRequest();
        return;
      }
      break;
    case RelayErrorCode::addressNotOnRecord:
      if (!established_ || purpose_ || session != session_) return;
      log_.info("relay does not know our address; %s", role_ == RelayRole::client ? "rebinding" : "re-registering");
      if (role_ == RelayRole::client) {
        beginFlow(RelayPurpose::rebind, true);
      } else {
        startFlow();
      }
      return;
    default:
      break;
  }
  retryTimer_ = Task();
  emit(RelayTunnelEvent::error(code));
}

void RelayTunnel::finishFlow() {
  purpose_.reset();
  cookie_.reset();
  pendingFrame_.reset();
  credential_.reset();
  retryTimer_ = Task();
}

void RelayTunnel::becomeEstablished() {
  setEstablished(true);
  everEstablished_ = true;
  finishFlow();
  keepaliveTimer_ =
      Task::spawn(strand_, tick(weak_from_this(), clock_, options_.keepaliveInterval, [](RelayTunnel& self) {
                    if (!self.established_ || self.stopped_) return false;
                    std::uint32_t peer = self.role_ == RelayRole::client ? self.peer_ : 0;
                    self.sendFrame({RelayPacketType::keepalive, self.session_, peer, {0}});
                    return true;
                  }));
}

void RelayTunnel::sendDenied() {
  for (const auto& key : denied_) sendFrame({RelayPacketType::deny, session_, 0, key});
}

void RelayTunnel::setEstablished(bool value) {
  established_ = value;
  establishedNow_ = value;
}

void RelayTunnel::emit(RelayTunnelEvent event) { events_.yield(std::move(event)); }

}  // namespace brindlet
