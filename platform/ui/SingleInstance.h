#pragma once

// One running host per user and data folder: the first process to start holds an application
// name on the session bus; a later start hands its links (or, without any, a plain
// activation) to the one running and ends.
//
//   auto claim = SingleInstance::claim("io.tavix.nolu.host", urls, {onActivate, onOpen});
//   if (claim.outcome == SingleInstance::Outcome::forwarded) return 0;
//   // primary: claim.held keeps the name until it goes; unavailable: claim.error says why
//
// The handlers run on the instance's own thread (a GLib main loop serving the bus); they
// pass what they get on by their own means.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/support/WorkerThread.h"

namespace brindlet::platform {

class SingleInstance {
 public:
  enum class Outcome { primary, forwarded, unavailable };
  struct Handlers {
    std::function<void()> activate;             // a later start without links
    std::function<void(std::string url)> open;  // each link a later start was given
  };
  struct Claim {
    Outcome outcome = Outcome::unavailable;
    std::unique_ptr<SingleInstance> held;  // primary only
    std::string error;                     // unavailable only
  };

  // `appID` is a D-Bus well-known name. Without a session bus the outcome is unavailable (no
  // bus is started for the purpose).
  static Claim claim(const std::string& appID, const std::vector<std::string>& urls, Handlers handlers);
  // Waits, up to `limit`, until no process holds `appID` on the session bus; false when one
  // still does (or the bus cannot be asked).
  static bool waitUntilFree(const std::string& appID, std::chrono::milliseconds limit);
  // Releases the name.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  struct State;

 private:
  SingleInstance() = default;
  std::shared_ptr<State> state_;
  WorkerThread thread_;
};

}  // namespace brindlet::platform
