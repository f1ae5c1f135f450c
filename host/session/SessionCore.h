#pragma once

// What a feature of the session (streaming, input, clipboard, ...) reaches of the session's
// core: the connection to send on, the environment, the device's capabilities, the status
// and host state, notices, the strand and the clock. HostSession is the one implementation.
// A feature runs only on the session's strand; the session owns it, so a task of a feature
// holds the feature through weakFeature() and locks it again after every co_await.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "host/control/ChangeCountBox.h"
#include "base/Executor.h"
#include "host/session/HostEnvironment.h"
#include "host/session/SessionStatus.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"
#include "kit/transport/Connection.h"

namespace brindlet::host {

class ChangeCountBox;
class CursorFeature;

// A host state with its optional detail, as sent in hostStatus.
struct HostStateReport {
  HostState state = HostState::ok;
  std::optional<std::string> detail;

  bool operator==(const HostStateReport&) const = default;
};

class SessionCore {
 public:
  virtual void send(const Message& message) = 0;
  // The connection itself, for what goes on it besides messages (video frames).
  virtual const std::shared_ptr<Connection>& connection() const = 0;
  virtual const HostEnvironment& env() const = 0;
  // Set once a hello has been accepted.
  virtual const std::optional<ClientCapabilities>& client() const = 0;
  // The display list last sent to the device.
  virtual const std::vector<DisplayInfo>& displays() const = 0;
  // The display being streamed, nothing before one is selected.
  virtual const std::optional<DisplayInfo>& currentDisplay() const = 0;

  // The status the menu bar shows; publishStatus() reports it.
  virtual SessionStatus& sessionStatus() = 0;
  virtual void publishStatus() = 0;
  // What capture makes of the host state (none: capture is fine); the device is told when
  // the state it was last sent changes.
  virtual void setCaptureProblem(std::optional<HostStateReport> problem) = 0;
  // Said once per session and message type: a message of type `Case` is ignored because
  // `feature` (as in "app lists") is not available on this host yet.
  template <class Case>
  void reportUnavailable(std::string_view feature) {
    reportUnavailable(Case::type, Case::name, feature);
  }
  virtual void reportUnavailable(std::uint8_t type, std::string_view messageName, std::string_view feature) = 0;

  // The clipboard change count the session has seen or produced itself: whoever places
  // something on the clipboard for the device stores the new count here.
  virtual ChangeCountBox& clipboardMark() = 0;
  // The cursor's reports, for the features that move the pointer.
  virtual CursorFeature& cursor() = 0;

  virtual const Strand& strand() const = 0;
  // A task on the session's strand.
  virtual Task spawnTask(asio::awaitable<void> body) const = 0;
  // Seconds of uptime on the session's clock.
  virtual double uptime() const = 0;

  // A weak handle on `feature`, a part of this session: locked, it keeps the session alive.
  template <class Feature>
  std::weak_ptr<Feature> weakFeature(Feature* feature) {
    return std::shared_ptr<Feature>(sharedCore(), feature);
  }

 protected:
  ~SessionCore() = default;
  virtual std::shared_ptr<SessionCore> sharedCore() = 0;
};

}  // namespace brindlet::host
