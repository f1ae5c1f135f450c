#pragma once

// The queue under a connection's video-frame and audio-packet streams: producers on any
// thread push, one consumer awaits next(); no capacity limit (connections compare count()
// with their budgets before they push).
//
//   AsyncQueue<VideoFrame> queue;
//   queue.push(frame);                                   // any thread, never blocks
//   while (auto frame = co_await queue.next()) show(*frame);
//   queue.finish();                                      // buffered items are still read first
//
// It is an AsyncStream (kit/support) with the queue's names; a connection hands it out as its
// videoFrames()/audioPackets() stream. Cancelling the consumer's task ends its wait whenever
// the cancellation arrives, also between its check of the buffer and its parking.

#include "kit/support/AsyncStream.h"

#include <utility>

namespace brindlet {

template <class T>
class AsyncQueue : public AsyncStream<T> {
 public:
  // Adds an item; after finish() it is silently discarded.
  void push(T item) const { this->yield(std::move(item)); }
};

}  // namespace brindlet
