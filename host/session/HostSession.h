#pragma once

// The session that serves one connected device: it checks the device's hello and dispatches
// every later message to the feature that handles it. It is an actor: its operations run one
// at a time on its own strand, and it is re-entrant at each co_await (after one, check again
// what may have changed).
//
//   auto session = HostSession::make(executor, connection, env, gate, std::nullopt, onStatus);
//   Task run = Task::spawn(strand, session->start());   // returns once the session has ended
//
// The session itself keeps the hello, the dispatch, the lifecycle and the status; every
// feature (streaming, input, clipboard, ...) is an object of its own that reaches this core
// through SessionCore. How a device message finds its feature's handler: SessionDispatch.h.

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/session/HostEnvironment.h"
#include "host/session/SessionCore.h"
#include "host/session/SessionDispatch.h"
#include "host/session/SessionStatus.h"
#include "kit/pairing/HostAuthGating.h"
#include "kit/protocol/Message.h"
#include "kit/support/Actor.h"
#include "kit/support/Task.h"
#include "kit/transport/Connection.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AppsFeature;
class AudioFeature;
class ClipboardFeature;
class CursorFeature;
class FileTransferFeature;
class InputFeature;
class MenuActionsFeature;
class StreamingFeature;
class TextFocusFeature;
class ThumbnailsFeature;
class WindowFocusFeature;

class HostSession final : public Actor, public SessionCore, public std::enable_shared_from_this<HostSession> {
 public:
  using StatusHandler = std::function<void(const SessionStatus&)>;

  // The protocol version this host speaks.
  static constexpr std::uint16_t protocolVersion = 16;

  // Nothing is sent and nothing started. Without a gate every message counts as coming from
  // an authenticated device, and `fixedClientKey` stands for the gate's device key.
  static std::shared_ptr<HostSession> make(const Executor& executor, std::shared_ptr<Connection> connection,
                                           HostEnvironment env, std::shared_ptr<HostAuthGating> authGate,
                                           std::optional<Bytes> fixedClientKey, StatusHandler onStatus);

  // Runs the receive loop; returns once the message stream has ended and the session has
  // been ended.
  asio::awaitable<void> start();
  // Handles one message that the gate let through.
  asio::awaitable<void> handle(Message message);
  // Tells the device another device took over, then closes the connection 0.2 s later.
  asio::awaitable<void> replaced(std::string byDeviceName);
  asio::awaitable<void> setKeepAwake(bool keepAwake);
  asio::awaitable<void> sendRelayConfig();
  asio::awaitable<void> refreshHostStatus(bool force);
  asio::awaitable<HostStateReport> currentHostState();
  asio::awaitable<SessionStatus> status();

  // What happens on this computer rather than on the device: the displays changed; capture
  // is held (sleep, display sleep) and later resumed, `restart` first stopping a source that
  // still runs; a note for the session's status (none clears it); the state that sleep, wake
  // and lock made of the host, sent to the device when it changed.
  asio::awaitable<void> displaysChanged();
  asio::awaitable<void> captureSuspended(std::string reason);
  asio::awaitable<void> resumeCapture(bool restart);
  asio::awaitable<void> hostNote(std::optional<std::string> note);
  asio::awaitable<void> setLifecycleState(HostStateReport state);

  // The first of hevcMain444, hevcMain that both lists hold.
  static std::optional<CodecProfile> negotiateCodecProfile(const std::vector<CodecProfile>& client,
                                                           const std::vector<CodecProfile>& host);

  // HostSession is made only through make().
  struct Token {
    explicit Token() = default;
  };
  HostSession(Token, const Executor& executor, std::shared_ptr<Connection> connection, HostEnvironment env,
              std::shared_ptr<HostAuthGating> authGate, std::optional<Bytes> fixedClientKey, StatusHandler onStatus);

  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  ~HostSession();

  // What the features reach of the session (SessionCore).
  void send(const Message& message) override;
  const std::shared_ptr<Connection>& connection() const override { return connection_; }
  const HostEnvironment& env() const override { return env_; }
  const std::optional<ClientCapabilities>& client() const override { return client_; }
  const std::vector<DisplayInfo>& displays() const override;
  const std::optional<DisplayInfo>& currentDisplay() const override;
  ChangeCountBox& clipboardMark() override;
  CursorFeature& cursor() override { return *cursor_; }
  SessionStatus& sessionStatus() override { return status_; }
  void publishStatus() override;
  void setCaptureProblem(std::optional<HostStateReport> problem) override;
  using SessionCore::reportUnavailable;
  void reportUnavailable(std::uint8_t type, std::string_view messageName, std::string_view feature) override;
  const Strand& strand() const override { return Actor::strand(); }
  Task spawnTask(asio::awaitable<void> body) const override { return spawn(std::move(body)); }
  double uptime() const override;

  // The core's own handlers (HostSessionHello.cpp).
  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onPing(const msg::Ping& ping);

 private:
  std::shared_ptr<SessionCore> sharedCore() override { return shared_from_this(); }

  // Receive loop, hello and lifecycle (HostSession.cpp, HostSessionHello.cpp).
  asio::awaitable<void> run();
  asio::awaitable<void> dispatch(const Message& message);
  asio::awaitable<void> checkDeviceAndHandleHello(const msg::Hello& hello);
  asio::awaitable<void> handleHello(const msg::Hello& hello);
  asio::awaitable<void> reject(std::string reason);
  asio::awaitable<void> replacedIsolated(std::string byDeviceName);
  asio::awaitable<void> sendRelayConfigIsolated();
  asio::awaitable<void> closeAfterFlush();
  asio::awaitable<void> end();
  void updateKeepAwake();
  void releaseKeepAwake();
  HostStateReport currentHostStateIsolated() const;
  void refreshHostStatusIsolated(bool force);
  void sendHostStatus(HostStateReport report);
  void hostNoteIsolated(std::optional<std::string> note);

  // The session record.
  std::shared_ptr<Connection> connection_;
  HostEnvironment env_;
  StatusHandler onStatus_;
  std::shared_ptr<HostAuthGating> authGate_;
  std::optional<Bytes> fixedClientKey_;
  SessionStatus status_;
  std::optional<ClientCapabilities> client_;  // set only when a hello is accepted
  std::optional<std::uint32_t> assertionID_;
  bool keepAwake_ = true;
  bool helloAcked_ = false;
  HostStateReport lifecycleState_;
  std::optional<HostStateReport> captureProblem_;
  std::optional<HostStateReport> lastSentStatus_;
  std::bitset<256> unavailableSaid_;

  // The features, each owning its state (made last, gone first: they use the record above).
  std::unique_ptr<StreamingFeature> streaming_;
  std::unique_ptr<InputFeature> input_;
  std::unique_ptr<ClipboardFeature> clipboard_;
  std::unique_ptr<AudioFeature> audio_;
  std::unique_ptr<WindowFocusFeature> windowFocus_;
  std::unique_ptr<AppsFeature> apps_;
  std::unique_ptr<FileTransferFeature> files_;
  std::unique_ptr<MenuActionsFeature> menuActions_;
  std::unique_ptr<TextFocusFeature> textFocus_;
  std::unique_ptr<CursorFeature> cursor_;
  std::unique_ptr<ThumbnailsFeature> thumbnails_;
  SessionFeatures features_;
};

}  // namespace brindlet::host
