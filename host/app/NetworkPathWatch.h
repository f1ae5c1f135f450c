#pragma once

// Restarts listener supervision when the network path becomes usable again or its set of
// interfaces changes, so the listener is bound and advertised on the path in use.
//
//   Task watch = Task::spawn(mainStrand, NetworkPathWatch::watchSystemPath(ioExecutor, supervisor));
//
// Each path update is reduced to a signature (usable or not, the interface names sorted);
// the first signature never restarts, an unusable one never does, and a usable one restarts
// when the previous one was unusable or named other interfaces.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/app/ListenerSupervisor.h"
#include "kit/support/AsyncStream.h"
#include "base/Executor.h"
#include "platform/net/NetworkPath.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

struct NetworkPathSignature {
  bool satisfied = false;
  std::vector<std::string> interfaces;  // sorted ascending

  static NetworkPathSignature of(const platform::NetworkPath& path);

  bool operator==(const NetworkPathSignature&) const = default;
};

class NetworkPathWatch {
 public:
  explicit NetworkPathWatch(std::weak_ptr<ListenerControlling> supervisor) : supervisor_(std::move(supervisor)) {}

  // Takes one signature; true when it asked for a restart (logged even when the
  // supervisor is gone).
  bool receive(const NetworkPathSignature& signature);

  // Consumes `signatures` on the caller's strand until the stream ends or the task is
  // cancelled.
  static asio::awaitable<void> watch(AsyncStream<NetworkPathSignature> signatures,
                                     std::weak_ptr<ListenerControlling> supervisor);
  // The same over this machine's network path; the path monitor runs on a strand of
  // `executor` and is cancelled when the watch ends.
  static asio::awaitable<void> watchSystemPath(Executor executor, std::weak_ptr<ListenerControlling> supervisor);

 private:
  std::weak_ptr<ListenerControlling> supervisor_;
  std::optional<NetworkPathSignature> previous_;
};

}  // namespace brindlet::host
