#include "host/session/LoopbackHostListener.h"

namespace brindlet::host {

void LoopbackHostListener::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const auto& client : clients_) {
      client->cancelTasks();
      client->connection()->close();  // also closes the host end of the pair
    }
    clients_.clear();
  }
  connections_.finish();
}

std::shared_ptr<FakeClient> LoopbackHostListener::attachClient() {
  auto [hostEnd, clientEnd] = InMemoryConnection::pair();
  auto client = std::make_shared<FakeClient>(clientEnd);
  {
    std::lock_guard lock(mutex_);
    if (!stopped_) {
      clients_.push_back(client);
      connections_.yield(hostEnd);
      return client;
    }
  }
  clientEnd->close();
  return client;
}

std::size_t LoopbackHostListener::clientCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

}  // namespace brindlet::host
