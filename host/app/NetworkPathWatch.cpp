#include "host/app/NetworkPathWatch.h"

#include <algorithm>
#include <exception>

#include "host/HostLog.h"
#include "platform/net/NetworkPathMonitor.h"

namespace brindlet::host {

NetworkPathSignature NetworkPathSignature::of(const platform::NetworkPath& path) {
  NetworkPathSignature signature;
  signature.satisfied = path.satisfied;
  for (const auto& interface : path.availableInterfaces) signature.interfaces.push_back(interface.name);
  std::sort(signature.interfaces.begin(), signature.interfaces.end());
  return signature;
}

bool NetworkPathWatch::receive(const NetworkPathSignature& signature) {
  std::optional<NetworkPathSignature> previous = std::move(previous_);
  previous_ = signature;
  if (!previous || !signature.satisfied) return false;
  if (previous->satisfied && previous->interfaces == signature.interfaces) return false;
  transportLog().info("network path changed; restarting listener");
  if (auto supervisor = supervisor_.lock()) supervisor->start();
  return true;
}

asio::awaitable<void> NetworkPathWatch::watch(AsyncStream<NetworkPathSignature> signatures,
                                              std::weak_ptr<ListenerControlling> supervisor) {
  NetworkPathWatch watch(std::move(supervisor));
  while (auto signature = co_await signatures.next()) watch.receive(*signature);
}

asio::awaitable<void> NetworkPathWatch::watchSystemPath(Executor executor,
                                                        std::weak_ptr<ListenerControlling> supervisor) {
  AsyncStream<NetworkPathSignature> signatures;
  auto monitor = std::make_unique<platform::NetworkPathMonitor>(
      makeStrand(executor),
      [signatures](const platform::NetworkPath& path) { signatures.yield(NetworkPathSignature::of(path)); });
  try {
    monitor->start();
  } catch (const std::exception& error) {
    transportLog().error("network path monitoring unavailable: %s", error.what());
    co_return;
  }
  struct Cancel {
    ~Cancel() {
      monitor->cancel();
      signatures.finish();
    }
    platform::NetworkPathMonitor* monitor;
    AsyncStream<NetworkPathSignature> signatures;
  } cancel{monitor.get(), signatures};
  co_await watch(signatures, std::move(supervisor));
}

}  // namespace brindlet::host
