#include "host/ui/PairingPrompter.h"

#include "kit/support/Task.h"

#include <asio/this_coro.hpp>

namespace brindlet::host {

namespace {

asio::awaitable<bool> isCancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

std::shared_ptr<PairingPrompter> PairingPrompter::make(Strand mainStrand) {
  return std::make_shared<PairingPrompter>(std::move(mainStrand));
}

asio::awaitable<bool> PairingPrompter::confirm(std::string deviceName, std::string code) {
  if (co_await isCancelled()) co_return false;
  Pending prompt{UUID::random(), std::move(deviceName), std::move(code)};
  // Cancelling the caller cancels the wait on the main strand, which withdraws the prompt.
  co_return co_await runOn(strand_, present(std::move(prompt)));
}

asio::awaitable<bool> PairingPrompter::present(Pending prompt) {
  if (co_await isCancelled()) co_return false;
  if (pending_) resolve(false, pending_->id);
  AsyncStream<bool> answer;
  answer_ = answer;
  UUID id = prompt.id;
  setPending(prompt);
  if (onPresent) onPresent(prompt);
  // The prompter is kept alive by the caller (the pairing service holds it).
  std::optional<bool> accepted = co_await answer.next();
  if (!accepted) {
    // Withdrawn: the waiting task was cancelled. Resolving finds this prompt only when no
    // newer one has replaced it.
    resolve(false, id);
    co_return false;
  }
  co_return *accepted;
}

void PairingPrompter::resolve(bool accepted, std::optional<UUID> id) {
  if (!pending_) return;
  if (id && *id != pending_->id) return;
  setPending(std::nullopt);
  std::optional<AsyncStream<bool>> answer = std::move(answer_);
  answer_.reset();
  if (onDismiss) onDismiss();
  if (answer) {
    answer->yield(accepted);
    answer->finish();
  }
}

void PairingPrompter::setPending(std::optional<Pending> pending) {
  bool changed = !(pending == pending_);
  pending_ = std::move(pending);
  if (changed && onPendingChange) onPendingChange(pending_);
}

}  // namespace brindlet::host
