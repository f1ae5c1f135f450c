#include "host/session/HostSession.h"

#include <chrono>
#include <exception>

#include "host/HostLog.h"
#include "host/capture/PowerManaging.h"
#include "host/session/AppsFeature.h"
#include "host/session/AudioFeature.h"
#include "host/session/ClipboardFeature.h"
#include "host/session/CursorFeature.h"
#include "host/session/FileTransferFeature.h"
#include "host/session/InputFeature.h"
#include "host/session/MenuActionsFeature.h"
#include "host/session/SessionDispatch.h"
#include "host/session/StreamingFeature.h"
#include "host/session/TextFocusFeature.h"
#include "host/session/ThumbnailsFeature.h"
#include "host/session/WindowFocusFeature.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>

namespace brindlet::host {

namespace {

// How long a final message gets on the wire before the connection is closed.
constexpr auto flushDelay = std::chrono::milliseconds(200);

void logHandlerFailure(const Message& message, const std::exception& error) {
  sessionLog().error("%s failed: %s", std::string(message.name()).c_str(), error.what());
}

}  // namespace

std::shared_ptr<HostSession> HostSession::make(const Executor& executor, std::shared_ptr<Connection> connection,
                                               HostEnvironment env, std::shared_ptr<HostAuthGating> authGate,
                                               std::optional<Bytes> fixedClientKey, StatusHandler onStatus) {
  return std::make_shared<HostSession>(Token{}, executor, std::move(connection), std::move(env), std::move(authGate),
                                       std::move(fixedClientKey), std::move(onStatus));
}

HostSession::HostSession(Token, const Executor& executor, std::shared_ptr<Connection> connection, HostEnvironment env,
                         std::shared_ptr<HostAuthGating> authGate, std::optional<Bytes> fixedClientKey,
                         StatusHandler onStatus)
    : Actor(executor),
      connection_(std::move(connection)),
      env_(std::move(env)),
      onStatus_(std::move(onStatus)),
      authGate_(std::move(authGate)),
      fixedClientKey_(std::move(fixedClientKey)),
      streaming_(std::make_unique<StreamingFeature>(*this)),
      input_(std::make_unique<InputFeature>(*this)),
      clipboard_(std::make_unique<ClipboardFeature>(*this)),
      audio_(std::make_unique<AudioFeature>(*this)),
      windowFocus_(std::make_unique<WindowFocusFeature>(*this, *streaming_)),
      apps_(std::make_unique<AppsFeature>(*this, *windowFocus_)),
      files_(std::make_unique<FileTransferFeature>(*this)),
      menuActions_(std::make_unique<MenuActionsFeature>(*this)),
      textFocus_(std::make_unique<TextFocusFeature>(*this)),
      cursor_(std::make_unique<CursorFeature>(*this)),
      thumbnails_(std::make_unique<ThumbnailsFeature>(*this)),
      features_(this, streaming_.get(), input_.get(), clipboard_.get(), audio_.get(), windowFocus_.get(), apps_.get(),
                files_.get(), menuActions_.get(), cursor_.get(), thumbnails_.get()) {
  streaming_->setFocusRefresh([focus = windowFocus_.get()] { return focus->refreshAfterDisplayChange(); });
}

HostSession::~HostSession() = default;

asio::awaitable<void> HostSession::start() { return isolated(run()); }

asio::awaitable<void> HostSession::handle(Message message) {
  // The message lives in this coroutine's frame while its handler runs.
  return isolated([](std::shared_ptr<HostSession> self, Message owned) -> asio::awaitable<void> {
    co_await self->dispatch(owned);
  }(shared_from_this(), std::move(message)));
}

asio::awaitable<void> HostSession::replaced(std::string byDeviceName) {
  return isolated(replacedIsolated(std::move(byDeviceName)));
}

asio::awaitable<void> HostSession::setKeepAwake(bool keepAwake) {
  return isolated([](std::shared_ptr<HostSession> self, bool value) -> asio::awaitable<void> {
    self->keepAwake_ = value;
    if (self->helloAcked_) self->updateKeepAwake();
    co_return;
  }(shared_from_this(), keepAwake));
}

asio::awaitable<void> HostSession::sendRelayConfig() { return isolated(sendRelayConfigIsolated()); }

asio::awaitable<void> HostSession::refreshHostStatus(bool force) {
  return isolated([](std::shared_ptr<HostSession> self, bool value) -> asio::awaitable<void> {
    self->refreshHostStatusIsolated(value);
    co_return;
  }(shared_from_this(), force));
}

asio::awaitable<HostStateReport> HostSession::currentHostState() {
  return isolated([](std::shared_ptr<HostSession> self) -> asio::awaitable<HostStateReport> {
    co_return self->currentHostStateIsolated();
  }(shared_from_this()));
}

asio::awaitable<SessionStatus> HostSession::status() {
  return isolated([](std::shared_ptr<HostSession> self) -> asio::awaitable<SessionStatus> {
    co_return self->status_;
  }(shared_from_this()));
}

asio::awaitable<void> HostSession::displaysChanged() {
  return isolated([](std::shared_ptr<HostSession> self) -> asio::awaitable<void> {
    co_await self->streaming_->displaysChanged();
  }(shared_from_this()));
}

asio::awaitable<void> HostSession::captureSuspended(std::string reason) {
  return isolated([](std::shared_ptr<HostSession> self, std::string value) -> asio::awaitable<void> {
    co_await self->streaming_->captureSuspended(std::move(value));
  }(shared_from_this(), std::move(reason)));
}

asio::awaitable<void> HostSession::resumeCapture(bool restart) {
  return isolated([](std::shared_ptr<HostSession> self, bool value) -> asio::awaitable<void> {
    co_await self->streaming_->resumeCapture(value);
  }(shared_from_this(), restart));
}

asio::awaitable<void> HostSession::hostNote(std::optional<std::string> note) {
  return isolated([](std::shared_ptr<HostSession> self, std::optional<std::string> value) -> asio::awaitable<void> {
    self->hostNoteIsolated(std::move(value));
    co_return;
  }(shared_from_this(), std::move(note)));
}

asio::awaitable<void> HostSession::setLifecycleState(HostStateReport state) {
  return isolated([](std::shared_ptr<HostSession> self, HostStateReport value) -> asio::awaitable<void> {
    self->lifecycleState_ = std::move(value);
    self->refreshHostStatusIsolated(false);
    co_return;
  }(shared_from_this(), std::move(state)));
}

void HostSession::hostNoteIsolated(std::optional<std::string> note) {
  if (note == status_.note) return;
  sessionLog().info("host note: %s", note ? note->c_str() : "(cleared)");
  status_.note = std::move(note);
  publishStatus();
}

asio::awaitable<void> HostSession::run() {
  auto self = shared_from_this();
  // What was copied before the session is never sent to the device.
  clipboard_->markCurrent();
  sessionLog().info("connection accepted");
  if (authGate_) co_await authGate_->start();
  auto messages = connection_->messages();
  // A key or click goes to this computer before the transport goes on with the datagram that
  // brought it (acknowledging it, sending): on the transport's thread when the session is idle.
  messages.resumeConsumerAtOnce();
  while (auto message = co_await messages.next()) {
    // Session traffic of an admitted device goes straight on, without a turn on the gate's strand.
    if (authGate_ && !authGate_->admits(*message) && co_await authGate_->handle(*message) != AuthVerdict::proceed) {
      continue;
    }
    co_await dispatch(*message);
  }
  if (authGate_) co_await authGate_->connectionClosed();
  co_await end();
}

asio::awaitable<void> HostSession::dispatch(const Message& message) {
  auto self = shared_from_this();
  if (const auto* hello = message.as<msg::Hello>()) {
    co_await checkDeviceAndHandleHello(*hello);
    co_return;
  }
  if (!client_) {
    // Before an accepted hello only the video switch is noted, for the hello to honour.
    if (const auto* video = message.as<msg::SetVideoEnabled>()) streaming_->noteVideoEnabled(video->enabled);
    co_return;
  }
  const auto& entry = SessionDispatch::standard().entry(message.type());
  if (!entry.unavailable.empty()) {
    reportUnavailable(message.type(), message.name(), entry.unavailable);
    co_return;
  }
  if (!entry.handler) co_return;
  // A failing service ends that message's handling only; the session carries on.
  try {
    co_await entry.handler(features_, message);
  } catch (const asio::system_error& error) {
    if (error.code() == asio::error::operation_aborted) throw;
    logHandlerFailure(message, error);
  } catch (const std::exception& error) {
    logHandlerFailure(message, error);
  }
}

void HostSession::reportUnavailable(std::uint8_t type, std::string_view messageName, std::string_view feature) {
  if (unavailableSaid_.test(type)) return;
  unavailableSaid_.set(type);
  sessionLog().notice("%.*s ignored: %.*s not available on this host yet", static_cast<int>(messageName.size()),
                      messageName.data(), static_cast<int>(feature.size()), feature.data());
}

void HostSession::send(const Message& message) { connection_->send(message); }

const std::vector<DisplayInfo>& HostSession::displays() const { return streaming_->displays(); }

const std::optional<DisplayInfo>& HostSession::currentDisplay() const { return streaming_->currentDisplay(); }

ChangeCountBox& HostSession::clipboardMark() { return clipboard_->mark(); }

void HostSession::setCaptureProblem(std::optional<HostStateReport> problem) {
  captureProblem_ = std::move(problem);
  refreshHostStatusIsolated(false);
}

asio::awaitable<void> HostSession::replacedIsolated(std::string byDeviceName) {
  auto self = shared_from_this();
  connection_->send(msg::SessionReplaced{std::move(byDeviceName)});
  co_await closeAfterFlush();
}

asio::awaitable<void> HostSession::closeAfterFlush() {
  try {
    co_await env_.clock->sleep(flushDelay);
  } catch (const std::exception&) {
    // Cancelled: the connection is closed all the same.
  }
  connection_->close();
}

asio::awaitable<void> HostSession::sendRelayConfigIsolated() {
  auto self = shared_from_this();
  if (!helloAcked_) co_return;
  std::optional<Bytes> key = fixedClientKey_;
  if (authGate_) key = co_await authGate_->authenticatedPublicKey();
  if (!key || !env_.relayConfig) co_return;
  auto provision = env_.relayConfig(*key);
  if (!provision || provision->relays.empty()) co_return;
  connection_->send(msg::RelayConfig{provision->relays, provision->grant});
}

void HostSession::updateKeepAwake() {
  if (keepAwake_) {
    if (!assertionID_ && client_ && status_.phase != SessionStatus::Phase::ended && env_.power) {
      assertionID_ = env_.power->holdDisplayAwake("Nolu remote session");
    }
    return;
  }
  releaseKeepAwake();
}

void HostSession::releaseKeepAwake() {
  if (!assertionID_) return;
  // The power manager releases it only while it still holds it: an assertion the
  // application released already is not released twice.
  env_.power->release(*assertionID_);
  assertionID_.reset();
}

HostStateReport HostSession::currentHostStateIsolated() const {
  if (lifecycleState_.state != HostState::ok) return lifecycleState_;
  if (captureProblem_) return *captureProblem_;
  return HostStateReport{};
}

void HostSession::refreshHostStatusIsolated(bool force) {
  if (!helloAcked_) return;
  auto report = currentHostStateIsolated();
  if (!force && lastSentStatus_ == report) return;
  sendHostStatus(std::move(report));
}

void HostSession::sendHostStatus(HostStateReport report) {
  lastSentStatus_ = report;
  connection_->send(msg::HostStatus{report.state, std::move(report.detail)});
}

void HostSession::publishStatus() {
  if (onStatus_) onStatus_(status_);
}

double HostSession::uptime() const { return std::chrono::duration<double>(env_.clock->uptimeNow()).count(); }

asio::awaitable<void> HostSession::end() {
  auto self = shared_from_this();
  // No transfer is left half-written.
  files_->stop();
  co_await windowFocus_->stopApps();
  menuActions_->stop();
  textFocus_->stop();
  audio_->end();
  apps_->stop();
  releaseKeepAwake();
  clipboard_->stop();
  cursor_->stop();
  thumbnails_->stop();
  input_->releaseAll();
  co_await streaming_->stop();
  connection_->close();
  status_.phase = SessionStatus::Phase::ended;
  sessionLog().info("session ended");
  publishStatus();
  co_return;
}

}  // namespace brindlet::host
