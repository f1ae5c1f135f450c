#pragma once

// Asks the user at this computer to confirm a pairing by compared code. The authentication
// gate calls confirm(); the prompter turns each request into one pending prompt, has the
// application show it (onPresent) and turns the user's answer, or the withdrawal of the
// request, into the gate's Boolean.
//
//   auto prompter = PairingPrompter::make(mainStrand);
//   prompter->onPresent = [](const PairingPrompter::Pending& p) { open the confirmation dialog };
//   prompter->onDismiss = [] { close it };
//   ... the dialog's Allow:  prompter->resolve(true, pending.id);   (on the main strand)
//
// One prompt at a time: a newer request answers the older one false. A request whose task is
// cancelled (the gate's time-out, the connection closing) answers false. All state lives on
// the main strand.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/pairing/PairingConfirming.h"
#include "kit/support/AsyncStream.h"
#include "base/Executor.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class PairingPrompter final : public PairingConfirming, public std::enable_shared_from_this<PairingPrompter> {
 public:
  struct Pending {
    UUID id;
    std::string deviceName;
    std::string code;

    bool operator==(const Pending&) const = default;
  };

  static std::shared_ptr<PairingPrompter> make(Strand mainStrand);
  explicit PairingPrompter(Strand mainStrand) : strand_(std::move(mainStrand)) {}

  // From any strand: a new prompt for the device and its six-digit code; true when the
  // user allowed it.
  asio::awaitable<bool> confirm(std::string deviceName, std::string code) override;
  // On the main strand: shows `prompt` and waits for its answer.
  asio::awaitable<bool> present(Pending prompt);
  // On the main strand: answers the pending prompt when `id` is its own (or none is given).
  void resolve(bool accepted, std::optional<UUID> id = std::nullopt);

  const std::optional<Pending>& pending() const { return pending_; }

  std::function<void(const Pending&)> onPresent;
  std::function<void()> onDismiss;
  // Told each change of the pending prompt, only when it differs.
  std::function<void(const std::optional<Pending>&)> onPendingChange;

 private:
  void setPending(std::optional<Pending> pending);

  Strand strand_;
  std::optional<Pending> pending_;
  std::optional<AsyncStream<bool>> answer_;  // present exactly while pending_ is
};

}  // namespace brindlet::host
