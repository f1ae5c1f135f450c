#include "kit/transport/QUICConnection.h"

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "kit/protocol/WireCodec.h"
#include "kit/support/SystemClock.h"

namespace brindlet {

namespace {

constexpr std::size_t kMessageReadSize = 262'144;
constexpr std::size_t kAudioReadSize = 65'536;
constexpr std::size_t kDiscardReadSize = 1'024;
constexpr auto kVideoRecheck = std::chrono::milliseconds(5);
constexpr auto kWaitingLimit = std::chrono::seconds(3);
constexpr auto kTeardownDelay = std::chrono::milliseconds(100);

using platform::QUICGroupState;
using platform::QUICStreamState;
using platform::QUICTransportError;

std::string textOf(const std::optional<QUICTransportError>& error) { return error ? error->text : std::string(); }

}  // namespace

const char* streamKindName(StreamKind kind) {
  switch (kind) {
    case StreamKind::control:
      return "control";
    case StreamKind::input:
      return "input";
    case StreamKind::video:
      return "video";
    case StreamKind::audio:
      return "audio";
    case StreamKind::transfer:
      return "transfer";
  }
  return "control";
}

// ---------------------------------------------------------------------------------------
// Creation and start

QUICConnection::QUICConnection(Role role, std::shared_ptr<platform::QUICGroup> group,
                               std::shared_ptr<FingerprintBox> box, QUICConfiguration configuration,
                               std::shared_ptr<Clock> clock)
    : role_(role),
      configuration_(configuration),
      clock_(std::move(clock)),
      group_(std::move(group)),
      box_(std::move(box)),
      timerStrand_(makeStrand(Executor(group_->executor().get_inner_executor()))) {
  states_.yield(ConnectionState::connecting());
}

std::shared_ptr<QUICConnection> QUICConnection::makeClient(asio::io_context& context,
                                                           const asio::ip::udp::endpoint& endpoint,
                                                           const ServerTrust& trust, QUICConfiguration configuration,
                                                           std::shared_ptr<Clock> clock) {
  auto box = std::make_shared<FingerprintBox>(trust);
  auto parameters = makeQUICParameters(std::nullopt, box, configuration, context.get_executor());
  auto group = platform::QUICGroup::connect(context, endpoint, std::move(parameters));
  return std::make_shared<QUICConnection>(Role::client, std::move(group), std::move(box), configuration,
                                          std::move(clock));
}

std::shared_ptr<QUICConnection> QUICConnection::makeHost(std::shared_ptr<platform::QUICGroup> group,
                                                         QUICConfiguration configuration,
                                                         std::shared_ptr<Clock> clock) {
  return std::make_shared<QUICConnection>(Role::host, std::move(group), nullptr, configuration, std::move(clock));
}

QUICConnection::~QUICConnection() {
  // A connection dropped while still up takes its transport with it; an ended one is torn
  // down by its own schedule.
  bool live;
  {
    std::lock_guard guard(lock_);
    live = !tornDown_;
  }
  if (live) {
    group_->setStateHandler(nullptr);
    group_->setNewStreamHandler(nullptr);
    group_->cancel();
  }
  states_.finish();
  messages_.finish();
  videoQueue_.finish();
  audioQueue_.finish();
}

void QUICConnection::start() {
  {
    std::lock_guard guard(lock_);
    if (started_) return;
    started_ = true;
  }
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  group_->setStateHandler([weak](QUICGroupState state, std::optional<QUICTransportError> error) {
    if (auto self = weak.lock()) self->onGroupState(state, error);
  });
  group_->setNewStreamHandler([weak](Stream stream) {
    auto self = weak.lock();
    if (!self || self->role_ == Role::client) {
      stream->cancel();  // a device takes no stream from the host
      return;
    }
    self->adopt(stream);
  });
  group_->start();
  std::lock_guard guard(lock_);
  after(configuration_.handshakeTimeout, handshakeTimer_, [](QUICConnection& self) {
    if (!self.isFinished()) {
      bool ready;
      {
        std::lock_guard inner(self.lock_);
        ready = self.isReady_;
      }
      if (!ready) self.finish(ConnectionState::failed("handshake timed out"));
    }
  });
}

void QUICConnection::after(Clock::Duration delay, Task& slot, std::function<void(QUICConnection&)> action) {
  slot = Task::spawn(timerStrand_, sleepThenPost(clock_, delay, weak_from_this(), std::move(action)));
}

asio::awaitable<void> QUICConnection::sleepThenPost(std::shared_ptr<Clock> clock, Clock::Duration delay,
                                                    std::weak_ptr<QUICConnection> connection,
                                                    std::function<void(QUICConnection&)> action) {
  co_await clock->sleep(delay);
  auto self = connection.lock();
  if (!self) co_return;
  asio::post(self->group_->executor(), [connection, action] {
    if (auto alive = connection.lock()) action(*alive);
  });
}

// ---------------------------------------------------------------------------------------
// Group and streams

void QUICConnection::onGroupState(QUICGroupState state, const std::optional<QUICTransportError>& error) {
  std::int64_t generation;
  {
    std::lock_guard guard(lock_);
    generation = ++waitingGeneration_;
  }
  switch (state) {
    case QUICGroupState::waiting:
      if (error) {
        std::lock_guard guard(lock_);
        after(kWaitingLimit, waitingTimer_, [generation, text = error->text](QUICConnection& self) {
          bool current;
          {
            std::lock_guard inner(self.lock_);
            current = self.waitingGeneration_ == generation;
          }
          if (current) self.finish(ConnectionState::failed("network unavailable: " + text));
        });
      }
      break;
    case QUICGroupState::failed:
      finish(ConnectionState::failed(textOf(error)));
      break;
    case QUICGroupState::ready:
      if (role_ == Role::client) openStreams();
      break;
    case QUICGroupState::cancelled:
      finish(ConnectionState::closed());
      break;
    case QUICGroupState::setup:
      break;
  }
}

void QUICConnection::openStreams() {
  {
    // The streams are opened once: a second ready report must not open five more (the host
    // would fail the connection with a duplicate stream).
    std::lock_guard guard(lock_);
    if (streamsOpened_ || isFinished_) return;
    streamsOpened_ = true;
  }
  std::vector<std::pair<StreamKind, Stream>> opened;
  for (StreamKind kind : allStreamKinds) {
    Stream stream = group_->openStream();
    if (!stream) {
      finish(ConnectionState::failed(std::string("could not open ") + streamKindName(kind) + " stream"));
      return;
    }
    opened.emplace_back(kind, stream);
  }
  {
    std::lock_guard guard(lock_);
    for (auto& [kind, stream] : opened) streams_[kind] = stream;
  }
  auto counter = std::make_shared<std::int64_t>(static_cast<std::int64_t>(opened.size()));
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  for (auto& [kind, stream] : opened) {
    stream->setStateHandler([weak, kind = kind, stream = std::weak_ptr<platform::QUICStream>(stream), counter](
                                QUICStreamState state, std::optional<QUICTransportError> error) {
      auto self = weak.lock();
      auto strong = stream.lock();
      if (self && strong) self->onStreamState(kind, strong, state, error, counter);
    });
    stream->start();
  }
}

void QUICConnection::onStreamState(StreamKind kind, const Stream& stream, QUICStreamState state,
                                   const std::optional<QUICTransportError>& error,
                                   const std::shared_ptr<std::int64_t>& counter) {
  if (state == QUICStreamState::failed) {
    finish(ConnectionState::failed(std::string(streamKindName(kind)) + " stream failed: " + textOf(error)));
    return;
  }
  if (state != QUICStreamState::ready) return;
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  stream->send(Bytes{static_cast<std::uint8_t>(kind)}, false,
               [weak, counter](std::optional<QUICTransportError> failure) {
                 auto self = weak.lock();
                 if (!self) return;
                 if (failure) {
                   self->finish(ConnectionState::failed("preamble failed: " + failure->text));
                   return;
                 }
                 bool last;
                 {
                   std::lock_guard guard(self->lock_);
                   last = --*counter == 0;
                 }
                 if (last) self->markReady();
               });
  switch (kind) {
    case StreamKind::control:
      startReader(Reader::control, stream);
      break;
    case StreamKind::video:
      startReader(Reader::video, stream);
      break;
    case StreamKind::audio:
      startReader(Reader::audio, stream);
      break;
    case StreamKind::input:
    case StreamKind::transfer:
      break;
  }
}

void QUICConnection::adopt(const Stream& stream) {
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  std::weak_ptr<platform::QUICStream> weakStream = stream;
  stream->setStateHandler([weak, weakStream](QUICStreamState state, std::optional<QUICTransportError> error) {
    auto self = weak.lock();
    auto stream = weakStream.lock();
    if (!self || !stream) return;
    if (state == QUICStreamState::failed) {
      self->finish(ConnectionState::failed("stream failed: " + textOf(error)));
      return;
    }
    if (state != QUICStreamState::ready) return;
    stream->receive(1, 1, [weak, stream](Bytes content, bool, std::optional<QUICTransportError> failure) {
      auto self = weak.lock();
      if (!self) return;
      auto kind = failure || content.empty() ? std::nullopt : fromRaw<StreamKind>(content[0]);
      if (!kind) {
        self->finish(ConnectionState::failed("bad stream preamble"));
        return;
      }
      self->attach(*kind, stream);
    });
  });
  stream->start();
}

void QUICConnection::attach(StreamKind kind, const Stream& stream) {
  bool duplicate = false, ready = false;
  {
    std::lock_guard guard(lock_);
    if (isFinished_) return;
    if (!pendingKinds_.insert(kind).second) {
      duplicate = true;
    } else {
      streams_[kind] = stream;
      ready = kind != StreamKind::transfer && pendingKinds_.size() - pendingKinds_.count(StreamKind::transfer) == 4;
    }
  }
  if (duplicate) {
    finish(ConnectionState::failed(std::string("duplicate ") + streamKindName(kind) + " stream"));
    return;
  }
  switch (kind) {
    case StreamKind::control:
      startReader(Reader::control, stream);
      break;
    case StreamKind::input:
    case StreamKind::transfer:
      startReader(Reader::messages, stream);
      break;
    case StreamKind::video:
    case StreamKind::audio:
      startReader(Reader::discard, stream);
      break;
  }
  if (ready) markReady();
}

// ---------------------------------------------------------------------------------------
// Readers

void QUICConnection::startReader(Reader reader, const Stream& stream) {
  read(reader, stream, std::make_shared<WireDecoder>());
}

void QUICConnection::read(Reader reader, Stream stream, std::shared_ptr<WireDecoder> decoder) {
  if (isFinished()) return;
  if (reader == Reader::video &&
      static_cast<std::int64_t>(videoQueue_.count()) >= configuration_.maxBufferedIncomingVideoFrames) {
    // The consumer is behind: leave the data with the transport (its flow-control window
    // holds the sender back) and look again shortly.
    std::lock_guard guard(lock_);
    after(kVideoRecheck, videoPoll_,
          [reader, stream, decoder](QUICConnection& self) { self.read(reader, stream, decoder); });
    return;
  }
  std::size_t largest = reader == Reader::audio     ? kAudioReadSize
                        : reader == Reader::discard ? kDiscardReadSize
                                                    : kMessageReadSize;
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  stream->receive(
      1, largest,
      [weak, reader, stream, decoder](Bytes content, bool isComplete, std::optional<QUICTransportError> error) {
        auto self = weak.lock();
        if (!self) return;
        if (reader != Reader::discard) {
          if (!content.empty()) decoder->append(content);
          if (!self->decode(reader, *decoder)) return;  // poisoned: the stream is not read again
        }
        if (error) {
          self->finish(ConnectionState::failed(error->text));
          return;
        }
        if (isComplete) {
          if (reader == Reader::control) self->finish(ConnectionState::closed());
          return;
        }
        self->read(reader, stream, decoder);
      });
}

bool QUICConnection::decode(Reader reader, WireDecoder& decoder) {
  for (;;) {
    try {
      if (reader == Reader::video) {
        auto frame = decoder.nextVideoFrame();
        if (!frame) return true;
        videoQueue_.push(std::move(*frame));
      } else if (reader == Reader::audio) {
        auto packet = decoder.nextAudioPacket();
        if (!packet) return true;
        if (static_cast<std::int64_t>(audioQueue_.count()) < configuration_.maxBufferedIncomingAudioPackets) {
          audioQueue_.push(std::move(*packet));
        }
      } else {
        auto message = decoder.nextMessage();
        if (!message) return true;
        messages_.yield(std::move(*message));
      }
    } catch (const WireError& error) {
      if (error.errorCase() == WireError::Case::frameTooLarge) {
        finish(ConnectionState::failed("protocol error: " + error.description()));
        return false;
      }
      // Any other decoding error costs only the frame that caused it.
    }
  }
}

// ---------------------------------------------------------------------------------------
// Readiness and the end

void QUICConnection::markReady() {
  std::optional<Bytes> value = tlsExporter(*group_);
  std::vector<ReadyWaiter> waiters;
  {
    std::lock_guard guard(lock_);
    exporter_ = value;
    if (isReady_ || isFinished_) return;
    isReady_ = true;
    waiters = std::move(readyWaiters_);
    readyWaiters_.clear();
  }
  states_.yield(ConnectionState::ready());
  for (auto& waiter : waiters) waiter.resume(std::nullopt);
}

asio::awaitable<void> QUICConnection::waitUntilReady() {
  std::shared_ptr<QUICConnection> self = shared_from_this();
  auto initiation = [self](auto handler) {
    ReadyWaiter waiter(std::move(handler));
    std::optional<QUICError> outcome;
    {
      std::lock_guard guard(self->lock_);
      if (!self->isReady_) {
        if (!self->isFinished_) {
          self->readyWaiters_.push_back(std::move(waiter));
          return;
        }
        outcome = self->failureError_ ? *self->failureError_ : QUICError::failed(self->failure_.value_or("closed"));
      }
    }
    waiter.resume(std::move(outcome));
  };
  std::optional<QUICError> error =
      co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::optional<QUICError>)>(
          initiation, asio::use_awaitable);
  if (error) throw *error;
}

bool QUICConnection::isFinished() const {
  std::lock_guard guard(lock_);
  return isFinished_;
}

void QUICConnection::close() { finish(ConnectionState::closed()); }

void QUICConnection::finish(ConnectionState state) {
  std::vector<ReadyWaiter> readyWaiters;
  std::vector<TransferWaiter> transferWaiters;
  Stream control;
  std::optional<QUICError> pinFailure;
  std::string failure;
  {
    std::lock_guard guard(lock_);
    if (isFinished_) return;
    isFinished_ = true;
    failure = state.is(ConnectionState::Case::failed) ? state.reason() : "closed";
    if (box_ && box_->mismatch()) {
      failure = "pin mismatch";
      failureError_ = QUICError::pinMismatch();
    }
    failure_ = failure;
    pinFailure = failureError_;
    readyWaiters = std::move(readyWaiters_);
    readyWaiters_.clear();
    if (auto found = streams_.find(StreamKind::control); found != streams_.end()) control = found->second;
  }
  QUICError waiterError = pinFailure ? *pinFailure : QUICError::failed(failure);
  for (auto& waiter : readyWaiters) waiter.resume(waiterError);
  {
    std::lock_guard guard(lock_);
    transferWaiters = std::move(transferWaiters_);
    transferWaiters_.clear();
  }
  for (auto& waiter : transferWaiters) waiter.resume(false);

  states_.yield(pinFailure ? ConnectionState::failed("pin mismatch") : state);
  states_.finish();
  messages_.finish();
  videoQueue_.finish();
  audioQueue_.finish();

  if (state.is(ConnectionState::Case::closed) && control) {
    // The peer's control reader sees the end and closes in turn.
    std::weak_ptr<QUICConnection> weak = weak_from_this();
    auto group = group_;
    auto clock = clock_;
    auto strand = timerStrand_;
    {
      std::lock_guard guard(lock_);
      tornDown_ = true;
    }
    control->send({}, true,
                  [group, clock, strand](std::optional<QUICTransportError>) { startTeardown(strand, clock, group); });
  } else {
    scheduleTeardown();
  }
}

void QUICConnection::scheduleTeardown() {
  {
    std::lock_guard guard(lock_);
    tornDown_ = true;
  }
  startTeardown(timerStrand_, clock_, group_);
}

void QUICConnection::startTeardown(const Strand& strand, std::shared_ptr<Clock> clock,
                                   std::shared_ptr<platform::QUICGroup> group) {
  asio::co_spawn(strand, tearDown(std::move(clock), std::move(group)), asio::detached);
}

asio::awaitable<void> QUICConnection::tearDown(std::shared_ptr<Clock> clock,
                                               std::shared_ptr<platform::QUICGroup> group) {
  try {
    co_await clock->sleep(kTeardownDelay);
  } catch (...) {
  }
  group->setStateHandler(nullptr);
  group->setNewStreamHandler(nullptr);
  group->cancel();
}

std::optional<Bytes> QUICConnection::peerFingerprint() const {
  if (!box_) return std::nullopt;
  return box_->value();
}

std::optional<Bytes> QUICConnection::exporter() const {
  std::lock_guard guard(lock_);
  return exporter_;
}

// ---------------------------------------------------------------------------------------
// Sending

bool QUICConnection::handOver(StreamKind kind, Bytes bytes, platform::QUICStream::SendCompletion completion) {
  auto found = streams_.find(kind);
  if (!isReady_ || isFinished_ || found == streams_.end()) return false;
  found->second->send(std::move(bytes), false, std::move(completion));
  return true;
}

void QUICConnection::send(const Message& message) {
  Bytes bytes = WireCodec::encode(message);
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  std::lock_guard guard(lock_);
  handOver(streamKind(message.channel()), std::move(bytes), [weak](std::optional<QUICTransportError> error) {
    auto self = weak.lock();
    if (self && error) self->finish(ConnectionState::failed("send failed: " + error->text));
  });
}

bool QUICConnection::sendVideo(const VideoFrame& frame) {
  return sendMedia(StreamKind::video, WireCodec::encodeVideoFrame(frame), &QUICConnection::videoFramesInFlight_,
                   &QUICConnection::videoBytesInFlight_, configuration_.maxVideoFramesInFlight,
                   configuration_.maxVideoBytesInFlight, "video send failed: ");
}

bool QUICConnection::sendAudio(const AudioPacket& packet) {
  return sendMedia(StreamKind::audio, WireCodec::encodeAudioPacket(packet), &QUICConnection::audioPacketsInFlight_,
                   &QUICConnection::audioBytesInFlight_, configuration_.maxAudioPacketsInFlight, maxAudioBytesInFlight,
                   "audio send failed: ");
}

bool QUICConnection::sendMedia(StreamKind kind, Bytes bytes, std::int64_t QUICConnection::*count,
                               std::int64_t QUICConnection::*byteCount, std::int64_t maxCount, std::int64_t maxBytes,
                               const char* failurePrefix) {
  auto size = static_cast<std::int64_t>(bytes.size());
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  std::lock_guard guard(lock_);
  if (!isReady_ || isFinished_ || !streams_.count(kind)) return false;
  // The counts before this item decide: the bytes in flight may pass the budget by one item.
  if (this->*count >= maxCount || this->*byteCount >= maxBytes) return false;
  this->*count += 1;
  this->*byteCount += size;
  return handOver(kind, std::move(bytes),
                  [weak, size, count, byteCount, failurePrefix](std::optional<QUICTransportError> error) {
                    auto self = weak.lock();
                    if (!self) return;
                    {
                      std::lock_guard inner(self->lock_);
                      (*self).*count -= 1;
                      (*self).*byteCount -= size;
                    }
                    if (error) self->finish(ConnectionState::failed(failurePrefix + error->text));
                  });
}

asio::awaitable<bool> QUICConnection::sendTransfer(Message message) {
  Bytes bytes = WireCodec::encode(message);
  auto size = static_cast<std::int64_t>(bytes.size());
  std::weak_ptr<QUICConnection> weak = weak_from_this();
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (!isReady_ || isFinished_ || !streams_.count(StreamKind::transfer)) co_return false;
      bool fits =
          transferBytesInFlight_ == 0 || transferBytesInFlight_ + size <= configuration_.maxTransferBytesInFlight;
      if (fits) {
        transferBytesInFlight_ += size;
        handOver(StreamKind::transfer, std::move(bytes), [weak, size](std::optional<QUICTransportError> error) {
          auto self = weak.lock();
          if (!self) return;
          std::vector<TransferWaiter> waiters;
          {
            std::lock_guard inner(self->lock_);
            self->transferBytesInFlight_ -= size;
            waiters = std::move(self->transferWaiters_);
            self->transferWaiters_.clear();
          }
          for (auto& waiter : waiters) waiter.resume(true);
          if (error) self->finish(ConnectionState::failed("transfer send failed: " + error->text));
        });
        co_return true;
      }
    }
    co_await waitForTransferRoom(size);
  }
}

asio::awaitable<void> QUICConnection::waitForTransferRoom(std::int64_t size) {
  std::shared_ptr<QUICConnection> self = shared_from_this();
  auto initiation = [self, size](auto handler) {
    TransferWaiter waiter(std::move(handler));
    {
      std::lock_guard guard(self->lock_);
      bool stillFull = self->transferBytesInFlight_ != 0 &&
                       self->transferBytesInFlight_ + size > self->configuration_.maxTransferBytesInFlight;
      if (!self->isFinished_ && stillFull) {
        self->transferWaiters_.push_back(std::move(waiter));
        return;
      }
    }
    waiter.resume(true);
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(bool)>(initiation, asio::use_awaitable);
}

std::int64_t QUICConnection::videoFramesInFlight() const {
  std::lock_guard guard(lock_);
  return videoFramesInFlight_;
}

std::int64_t QUICConnection::transferBytesInFlight() const {
  std::lock_guard guard(lock_);
  return transferBytesInFlight_;
}

}  // namespace brindlet
