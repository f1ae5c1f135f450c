#pragma once

// The in-process host listener: connections that never touch the network reach the host's
// normal accept path, from fake clients attached to it.
//
//   LoopbackHostListener listener;
//   listener.start();                                   // nothing to do; never throws
//   auto incoming = listener.connections();             // the same stream every time
//   auto client = listener.attachClient();              // its host end arrives on incoming
//   listener.stop();                                    // stops every client, ends incoming
//
// The application makes one and attaches no client, so its accept loop receives nothing
// until the listener stops.

#include "host/session/FakeClient.h"
#include "kit/transport/HostListener.h"

#include <memory>
#include <mutex>
#include <vector>

namespace brindlet::host {

class LoopbackHostListener final : public HostListener {
 public:
  LoopbackHostListener() = default;

  void start() override {}
  AsyncStream<std::shared_ptr<Connection>> connections() override { return connections_; }
  // Cancels every client's tasks, closes every client's pair (so each host end's messages
  // end), forgets the clients and ends connections(). A second call has no effect.
  void stop() override;

  // Makes an in-memory pair, keeps its client end in a new fake client and yields its host
  // end on connections(). After stop() the pair is closed at once and the client is not kept.
  std::shared_ptr<FakeClient> attachClient();
  std::size_t clientCount() const;

 private:
  AsyncStream<std::shared_ptr<Connection>> connections_;
  mutable std::mutex mutex_;  // guards the fields below
  std::vector<std::shared_ptr<FakeClient>> clients_;
  bool stopped_ = false;
};

}  // namespace brindlet::host
