#pragma once

// An in-process device: it holds the client end of an in-memory connection pair whose host
// end reached the host through the loopback listener.
//
//   auto client = listener.attachClient();              // the host end arrives on connections()
//   client->connection()->send(msg::Hello{...});        // speak as a device
//   client->startCounting(strand);                      // counts what the host sends it
//   ... client->received() ...
//   listener.stop();                                     // cancels its tasks, closes the pair

#include "base/Executor.h"
#include "kit/support/Task.h"
#include "kit/transport/InMemoryConnection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace brindlet::host {

class FakeClient {
 public:
  explicit FakeClient(std::shared_ptr<InMemoryConnection> connection);

  const std::shared_ptr<InMemoryConnection>& connection() const { return connection_; }

  // Keeps a task of this client; it is cancelled when the listener stops.
  void addTask(Task task);
  // Starts a task that reads the client end's messages and counts them.
  void startCounting(const Strand& strand);
  // The number of messages the counting task has read.
  int received() const { return received_->load(); }

  // Cancels every task of the client (the list itself stays).
  void cancelTasks();
  bool hasRunningTasks() const;

 private:
  std::shared_ptr<InMemoryConnection> connection_;
  mutable std::mutex mutex_;  // guards tasks_
  std::vector<Task> tasks_;
  std::shared_ptr<std::atomic<int>> received_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace brindlet::host
