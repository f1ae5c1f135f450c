#include "host/session/FakeClient.h"

#include <utility>

namespace brindlet::host {

namespace {

asio::awaitable<void> countMessages(AsyncStream<Message> messages, std::shared_ptr<std::atomic<int>> received) {
  // Named: g++ 12 miscompiles a bare `while (co_await stream.next())` here.
  while (auto message = co_await messages.next()) received->fetch_add(1);
}

}  // namespace

FakeClient::FakeClient(std::shared_ptr<InMemoryConnection> connection) : connection_(std::move(connection)) {}

void FakeClient::addTask(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

void FakeClient::startCounting(const Strand& strand) {
  addTask(Task::spawn(strand, countMessages(connection_->messages(), received_)));
}

void FakeClient::cancelTasks() {
  std::lock_guard lock(mutex_);
  for (const auto& task : tasks_) task.cancel();
}

bool FakeClient::hasRunningTasks() const {
  std::lock_guard lock(mutex_);
  for (const auto& task : tasks_) {
    if (task.isRunning()) return true;
  }
  return false;
}

}  // namespace brindlet::host
