#include "kit/transport/InMemoryConnection.h"

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"
#include "kit/protocol/WireError.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace brindlet {

struct InMemoryConnection::End {
  AsyncStream<ConnectionState> states;
  AsyncStream<Message> messages;
  AsyncQueue<VideoFrame> videoQueue;
  AsyncQueue<AudioPacket> audioQueue;

  mutable std::mutex mutex;  // guards the fields below; the streams and queues have their own
  int maxInFlight = 8;
  int maxAudioInFlight = 256;
  bool isClosed = false;
  WireDecoder messageDecoder;
  WireDecoder videoDecoder;
  WireDecoder audioDecoder;
  WireDecoder transferDecoder;
  // The end at the other side of the pair, which sends what this end receives.
  std::weak_ptr<End> peer;

  End() { states.yield(ConnectionState::ready()); }

  bool closed() const {
    std::lock_guard lock(mutex);
    return isClosed;
  }

  // Bytes of messages sent by the peer. Nothing of a delivery that fails to decode is
  // yielded; the failure is reported on `states` and the connection goes on. A decoder
  // poisoned by a frame over the largest size ends the connection instead, after the
  // messages decoded before it (see failStream).
  void deliverMessages(ByteView bytes, bool transfer) {
    std::vector<Message> decoded;
    std::optional<std::string> failure;
    std::optional<WireError> poison;
    {
      std::lock_guard lock(mutex);
      WireDecoder& decoder = transfer ? transferDecoder : messageDecoder;
      decoder.append(bytes);
      try {
        while (auto message = decoder.nextMessage()) decoded.push_back(std::move(*message));
      } catch (const WireError& error) {
        failure = error.description();
        poison = decoder.poisoned();
      } catch (...) {
        failure = WireError::truncated().description();
      }
    }
    if (poison) {
      for (auto& message : decoded) messages.yield(std::move(message));
      failStream(*poison);
      return;
    }
    if (failure) {
      states.yield(ConnectionState::failed(*failure));
      return;
    }
    for (auto& message : decoded) messages.yield(std::move(message));
  }

  // Bytes of video frames or audio packets; decoding stops at the first error, which is
  // dropped without a report unless it poisoned the decoder (see failStream).
  template <class Item, class Next>
  static void deliverItems(End& end, WireDecoder& decoder, AsyncQueue<Item>& queue, ByteView bytes, Next next) {
    std::vector<Item> decoded;
    std::optional<WireError> poison;
    {
      std::lock_guard lock(end.mutex);
      decoder.append(bytes);
      try {
        while (auto item = next(decoder)) decoded.push_back(std::move(*item));
      } catch (...) {
        poison = decoder.poisoned();
      }
    }
    for (auto& item : decoded) queue.push(std::move(item));
    if (poison) end.failStream(*poison);
  }

  // A stream whose decoder is poisoned is never read again, so the connection cannot go on:
  // as a QUIC connection does, this end fails with the protocol error and ends its streams,
  // and the peer sees the connection close.
  void failStream(const WireError& error) {
    if (markClosed()) endStreams(ConnectionState::failed("protocol error: " + error.description()));
    if (auto other = peer.lock(); other && other->markClosed()) other->endStreams(ConnectionState::closed());
  }

  void deliverVideo(ByteView bytes) {
    deliverItems(*this, videoDecoder, videoQueue, bytes, [](WireDecoder& d) { return d.nextVideoFrame(); });
  }
  void deliverAudio(ByteView bytes) {
    deliverItems(*this, audioDecoder, audioQueue, bytes, [](WireDecoder& d) { return d.nextAudioPacket(); });
  }

  // Marks the end closed; true for the call that closed it.
  bool markClosed() {
    std::lock_guard lock(mutex);
    bool was = isClosed;
    isClosed = true;
    return !was;
  }

  void endStreams(const ConnectionState& last) {
    states.yield(last);
    states.finish();
    messages.finish();
    videoQueue.finish();
    audioQueue.finish();
  }
};

std::pair<std::shared_ptr<InMemoryConnection>, std::shared_ptr<InMemoryConnection>> InMemoryConnection::pair() {
  auto first = std::make_shared<InMemoryConnection>();
  auto second = std::make_shared<InMemoryConnection>();
  first->peer_ = second->end_;
  second->peer_ = first->end_;
  first->end_->peer = second->end_;
  second->end_->peer = first->end_;
  return {first, second};
}

InMemoryConnection::InMemoryConnection() : end_(std::make_shared<End>()) {}

InMemoryConnection::~InMemoryConnection() { close(); }

int InMemoryConnection::maxInFlight() const {
  std::lock_guard lock(end_->mutex);
  return end_->maxInFlight;
}

void InMemoryConnection::setMaxInFlight(int frames) {
  std::lock_guard lock(end_->mutex);
  end_->maxInFlight = frames;
}

int InMemoryConnection::maxAudioInFlight() const {
  std::lock_guard lock(end_->mutex);
  return end_->maxAudioInFlight;
}

void InMemoryConnection::setMaxAudioInFlight(int packets) {
  std::lock_guard lock(end_->mutex);
  end_->maxAudioInFlight = packets;
}

std::size_t InMemoryConnection::peerVideoBacklog() const { return peer_ ? peer_->videoQueue.count() : 0; }

AsyncStream<ConnectionState> InMemoryConnection::states() { return end_->states; }
AsyncStream<Message> InMemoryConnection::messages() { return end_->messages; }
AsyncStream<VideoFrame> InMemoryConnection::videoFrames() { return end_->videoQueue; }
AsyncStream<AudioPacket> InMemoryConnection::audioPackets() { return end_->audioQueue; }

void InMemoryConnection::send(const Message& message) {
  if (end_->closed() || !peer_) return;
  Bytes bytes = WireCodec::encode(message);
  peer_->deliverMessages(bytes, message.channel() == Channel::transfer);
}

// Delivers an item unless this end is closed or alone, or the peer's queue already holds
// this end's budget of unread items.
template <class Item, class Deliver>
bool InMemoryConnection::sendCounted(int End::*budget, AsyncQueue<Item> End::*queue, Deliver deliver) {
  int limit;
  {
    std::lock_guard lock(end_->mutex);
    if (end_->isClosed || !peer_) return false;
    limit = (*end_).*budget;
  }
  if (((*peer_).*queue).count() >= static_cast<std::size_t>(std::max(limit, 0))) return false;
  deliver();
  return true;
}

bool InMemoryConnection::sendVideo(const VideoFrame& frame) {
  return sendCounted(&End::maxInFlight, &End::videoQueue,
                     [&] { peer_->deliverVideo(WireCodec::encodeVideoFrame(frame)); });
}

bool InMemoryConnection::sendAudio(const AudioPacket& packet) {
  return sendCounted(&End::maxAudioInFlight, &End::audioQueue,
                     [&] { peer_->deliverAudio(WireCodec::encodeAudioPacket(packet)); });
}

asio::awaitable<bool> InMemoryConnection::sendTransfer(Message message) {
  if (end_->closed() || !peer_) co_return false;
  send(message);
  co_return true;
}

void InMemoryConnection::receive(StreamKind kind, ByteView bytes) {
  switch (kind) {
    case StreamKind::control:
    case StreamKind::input:
      end_->deliverMessages(bytes, false);
      break;
    case StreamKind::transfer:
      end_->deliverMessages(bytes, true);
      break;
    case StreamKind::video:
      end_->deliverVideo(bytes);
      break;
    case StreamKind::audio:
      end_->deliverAudio(bytes);
      break;
  }
}

void InMemoryConnection::close() {
  bool closedNow = end_->markClosed();
  end_->endStreams(ConnectionState::closed());
  if (closedNow && peer_ && peer_->markClosed()) peer_->endStreams(ConnectionState::closed());
}

}  // namespace brindlet
