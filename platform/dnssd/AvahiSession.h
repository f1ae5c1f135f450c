#pragma once

// For the DNS-SD layer's own sources: Avahi's types stay out of the headers above it.

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <functional>
#include <memory>

namespace brindlet::platform {

class Logger;
const Logger& dnssdLog();  // the layer's own log: subsystem "io.tavix.nolu.platform", category "dnssd"

// One Avahi client with its own event thread (an AvahiThreadedPoll). Avahi calls back on
// that thread with the poll locked; every other thread touches Avahi objects only inside
// withLock(). The client is made with AVAHI_CLIENT_NO_FAIL, so it waits for a daemon that
// is not there yet, and when the daemon goes away it is made again.
class AvahiSession {
 public:
  // Called on the event thread whenever the client's state changes. After a call with
  // AVAHI_CLIENT_FAILURE the client and every object made from it are freed: drop them.
  using StateHandler = std::function<void(AvahiClient* client, AvahiClientState state)>;

  // Throws DNSSDError when the client cannot be made (no system bus, for example).
  explicit AvahiSession(StateHandler handler);
  ~AvahiSession();  // stops the event thread, then frees the client and its objects
  AvahiSession(const AvahiSession&) = delete;
  AvahiSession& operator=(const AvahiSession&) = delete;

  void start();  // starts the event thread
  void withLock(const std::function<void()>& work);

 private:
  static void clientCallback(AvahiClient* client, AvahiClientState state, void* context);
  void makeClient();

  StateHandler handler_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  bool started_ = false;
};

// Hands events from the Avahi thread to an executor, in order (through a strand of it), and
// drops those still queued once close() has been called.
class EventGate {
 public:
  explicit EventGate(const asio::any_io_executor& executor)
      : strand_(asio::make_strand(executor)), open_(std::make_shared<std::atomic<bool>>(true)) {}

  template <class Work>
  void post(Work work) {
    asio::post(strand_, [open = open_, work = std::move(work)]() mutable {
      if (open->load()) work();
    });
  }
  void close() { open_->store(false); }

 private:
  asio::strand<asio::any_io_executor> strand_;
  std::shared_ptr<std::atomic<bool>> open_;
};

}  // namespace brindlet::platform
