#pragma once

// The session that serves one connected device: it checks the device's hello, dispatches
// every later message to its handler and owns every piece of per-device state. It is an
// actor: its operations run one at a time on its own strand, and it is re-entrant at each
// co_await (after one, check again what may have changed).
//
//   auto session = HostSession::make(executor, connection, env, gate, std::nullopt, onStatus);
//   Task run = Task::spawn(strand, session->start());   // returns once the session has ended
//
// The handlers of the device's messages are registered in SessionDispatch (one registration
// function per feature, each in the feature's own file).

#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/capture/BitrateController.h"
#include "host/capture/CaptureScope.h"
#include "host/control/ChangeCountBox.h"
#include "host/control/TextFocusSource.h"
#include "host/session/HostEnvironment.h"
#include "host/session/SessionStatus.h"
#include "kit/pairing/HostAuthGating.h"
#include "kit/protocol/Message.h"
#include "kit/support/Actor.h"
#include "kit/support/Task.h"
#include "kit/support/UUID.h"
#include "kit/transport/Connection.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class CaptureSource;
class SessionDispatch;
class VideoPipeline;
class VideoSink;
struct CaptureStop;

// A host state with its optional detail, as sent in hostStatus.
struct HostStateReport {
  HostState state = HostState::ok;
  std::optional<std::string> detail;

  bool operator==(const HostStateReport&) const = default;
};

class HostSession final : public Actor, public std::enable_shared_from_this<HostSession> {
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

 private:
  friend class SessionDispatch;

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
  void publishStatus();
  double uptime() const;

  // Video: the pipeline, display selection, capture and the stream's geometry
  // (HostSessionStreaming.cpp).
  void startPipeline(CodecProfile profile);
  void encoderFellBack(CodecProfile from, CodecProfile to);
  void setNote(const std::string& text);
  asio::awaitable<void> selectDisplay(std::uint32_t displayID, std::optional<Viewport> viewport);
  asio::awaitable<void> selectDisplay(DisplayInfo display, Viewport viewport);
  asio::awaitable<void> setVideoEnabled(bool enabled);
  void sendStreamInfo();
  void forceKeyframe();
  void watchCaptureStops(const std::shared_ptr<CaptureSource>& source);
  void captureStopped(const std::shared_ptr<CaptureSource>& source, const CaptureStop& stop);
  void recordCaptureFailure(const std::string& description);
  asio::awaitable<void> displaysChangedIsolated();
  asio::awaitable<void> captureSuspendedIsolated(std::string reason);
  asio::awaitable<void> resumeCaptureIsolated(bool restart);
  void hostNoteIsolated(std::optional<std::string> note);
  asio::awaitable<void> onSelectDisplay(const msg::SelectDisplay& message);
  asio::awaitable<void> onViewport(const msg::Viewport& message);
  asio::awaitable<void> onSetVideoEnabled(const msg::SetVideoEnabled& message);
  static void registerStreamingHandlers(SessionDispatch& dispatch);

  // The display-change and statistics tasks (HostSessionPeriodic.cpp). The cursor, clipboard
  // and text-focus work is not built on this host yet.
  void startPeriodicTasks();
  void reportStats();
  void startTextFocus();
  void sendCursorIfNeeded(double minInterval);

  // Handlers of the device's messages (HostSessionInput.cpp, HostSessionHello.cpp).
  static void registerCoreHandlers(SessionDispatch& dispatch);
  static void registerInputHandlers(SessionDispatch& dispatch);
  asio::awaitable<void> onPing(const msg::Ping& ping);
  asio::awaitable<void> onFeedback(const msg::Feedback& feedback);
  asio::awaitable<void> onClipboardText(const msg::ClipboardText& text);
  asio::awaitable<void> onKey(const msg::Key& key);
  asio::awaitable<void> onText(const msg::Text& text);
  asio::awaitable<void> onPointer(const msg::Pointer& pointer);
  // A device message whose feature this host does not have yet: said once per session.
  void reportUnavailable(const Message& message, std::string_view feature);

  // The session record.
  std::shared_ptr<Connection> connection_;
  HostEnvironment env_;
  StatusHandler onStatus_;
  std::shared_ptr<HostAuthGating> authGate_;
  std::optional<Bytes> fixedClientKey_;
  SessionStatus status_;
  std::optional<ClientCapabilities> client_;  // set only when a hello is accepted
  std::vector<DisplayInfo> displays_;         // the display list last sent
  std::optional<DisplayInfo> current_;
  std::optional<Viewport> viewport_;
  std::shared_ptr<CaptureSource> capture_;
  bool captureStarted_ = false;
  Task captureStopsTask_;  // follows capture_'s stops
  std::shared_ptr<VideoPipeline> pipeline_;
  std::shared_ptr<VideoSink> sink_;
  CaptureScope scope_;
  BitrateController bitrate_;
  struct StatsMark {
    double time = 0;
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
  };
  std::optional<StatsMark> lastStats_;
  std::vector<Task> tasks_;  // the periodic tasks
  Task thumbnailTask_;
  std::shared_ptr<ChangeCountBox> clipboardMark_ = std::make_shared<ChangeCountBox>();
  std::uint32_t lastAppliedSeq_ = 0;
  bool moveCursorOnSwitch_ = true;
  bool fitOnSwitch_ = false;
  double lastCursorSendAt_ = 0;
  std::set<std::uint32_t> sentShapeIDs_;
  std::uint32_t currentShapeID_ = 0;
  bool cursorVisible_ = true;
  std::optional<std::uint64_t> shapeToken_;
  double lastLoggedFeedback_ = 0;
  std::optional<std::uint32_t> assertionID_;
  bool keepAwake_ = true;
  bool helloAcked_ = false;
  bool captureHeld_ = false;
  bool videoEnabled_ = true;
  HostStateReport lifecycleState_;
  std::optional<HostStateReport> captureProblem_;
  std::optional<HostStateReport> lastSentStatus_;
  AudioMode audioMode_ = AudioMode::off;
  std::uint64_t audioGeneration_ = 0;
  UUID audioOwnerID_ = UUID::random();
  std::vector<Task> appTasks_;
  Task focusTask_;
  Task windowThumbTask_;
  std::vector<std::uint32_t> thumbWindowIDs_;
  std::map<std::uint32_t, Bytes> windowThumbCache_;
  std::vector<Task> actionsTasks_;
  std::uint32_t actionsGeneration_ = 0;
  std::function<void()> textFocusStop_;
  Task textFocusTask_;
  TextFocus lastTextFocus_;
  std::bitset<256> unavailableSaid_;
};

}  // namespace brindlet::host
