#pragma once

// The protocol's messages.
//
// Every message case is a plain struct in namespace brindlet::msg, named after the case
// (hello -> msg::Hello, sessionReplaced -> msg::SessionReplaced) with the case's payload as
// public fields. Each struct also states its wire type byte (`msg::X::type`), its channel
// (`msg::X::channel`) and its case name (`msg::X::name`).
//
// `Message` holds exactly one of them.
//   Build:     Message m = msg::Ping{42};
//              connection.send(msg::HelloAck{16, hostID, "Studio", CodecProfile::hevcMain444});
//   Inspect:   m.type() (0x0D), m.channel() (Channel::control), m.name() ("ping"),
//              if (const auto* hello = m.as<msg::Hello>()) { use hello->deviceName; }
//              m.is<msg::Unfocus>()
//   Dispatch:  m.visit([&](const auto& body) { handle(body); });      // one overload per case
//              or std::visit on m.value, or a switch on m.type().
// Messages compare equal when they are the same case with equal payloads.
// The byte form of a message is WireCodec::encode / WireDecoder::nextMessage.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kit/protocol/AuthRecords.h"
#include "kit/protocol/Channel.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/protocol/FileTransferLimits.h"
#include "kit/protocol/InputRecords.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/protocol/RelayEndpoint.h"
#include "base/Bytes.h"
#include "kit/support/UUID.h"

#define BRINDLET_MESSAGE_CASE(Name, typeByte, caseName, channelCase)   \
  static constexpr std::uint8_t type = typeByte;                       \
  static constexpr ::brindlet::Channel channel = Channel::channelCase; \
  static constexpr std::string_view name = caseName;                   \
  bool operator==(const Name&) const = default;

namespace brindlet::msg {

struct Hello {
  std::uint16_t version = 0;
  UUID deviceID;
  std::string deviceName;
  ClientCapabilities capabilities;
  BRINDLET_MESSAGE_CASE(Hello, 0x01, "hello", control)
};
struct HelloAck {
  std::uint16_t version = 0;
  UUID hostID;
  std::string hostName;
  CodecProfile profile = CodecProfile::hevcMain;
  BRINDLET_MESSAGE_CASE(HelloAck, 0x02, "helloAck", control)
};
struct HelloReject {
  std::string reason;
  BRINDLET_MESSAGE_CASE(HelloReject, 0x03, "helloReject", control)
};
struct DisplayList {
  std::vector<DisplayInfo> displays;
  BRINDLET_MESSAGE_CASE(DisplayList, 0x04, "displayList", control)
};
struct SelectDisplay {
  std::uint32_t displayID = 0;
  BRINDLET_MESSAGE_CASE(SelectDisplay, 0x05, "selectDisplay", control)
};
struct Viewport {
  ::brindlet::Viewport viewport;
  BRINDLET_MESSAGE_CASE(Viewport, 0x06, "viewport", control)
};
struct SetThumbnails {
  bool enabled = false;
  BRINDLET_MESSAGE_CASE(SetThumbnails, 0x07, "setThumbnails", control)
};
struct Thumbnail {
  std::uint32_t displayID = 0;
  Bytes jpeg;
  BRINDLET_MESSAGE_CASE(Thumbnail, 0x08, "thumbnail", control)
};
struct Feedback {
  ::brindlet::Feedback feedback;
  BRINDLET_MESSAGE_CASE(Feedback, 0x09, "feedback", control)
};
struct ClipboardText {
  std::string text;
  BRINDLET_MESSAGE_CASE(ClipboardText, 0x0A, "clipboardText", control)
};
struct Key {
  KeyEvent event;
  BRINDLET_MESSAGE_CASE(Key, 0x0B, "key", input)
};
struct Pointer {
  PointerEvent event;
  std::uint32_t seq = 0;
  BRINDLET_MESSAGE_CASE(Pointer, 0x0C, "pointer", input)
};
struct Ping {
  std::uint64_t value = 0;
  BRINDLET_MESSAGE_CASE(Ping, 0x0D, "ping", control)
};
struct Pong {
  std::uint64_t value = 0;
  BRINDLET_MESSAGE_CASE(Pong, 0x0E, "pong", control)
};
struct StreamInfo {
  std::uint32_t displayID = 0;
  NormalizedRect sourceRect;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  CodecProfile profile = CodecProfile::hevcMain;
  BRINDLET_MESSAGE_CASE(StreamInfo, 0x0F, "streamInfo", control)
};
struct CursorState {
  std::uint32_t seq = 0;
  std::uint32_t displayID = 0;
  float x = 0;
  float y = 0;
  bool visible = false;
  std::uint32_t shapeID = 0;
  BRINDLET_MESSAGE_CASE(CursorState, 0x10, "cursorState", control)
};
struct AuthChallenge {
  Bytes nonce;
  BRINDLET_MESSAGE_CASE(AuthChallenge, 0x11, "authChallenge", control)
};
struct AuthResponse {
  UUID deviceID;
  Bytes publicKey;
  Bytes signature;
  BRINDLET_MESSAGE_CASE(AuthResponse, 0x12, "authResponse", control)
};
struct AuthResult {
  ::brindlet::AuthResult result = ::brindlet::AuthResult::ok;
  BRINDLET_MESSAGE_CASE(AuthResult, 0x13, "authResult", control)
};
struct PairRequest {
  PairMethod method = PairMethod::token;
  std::string deviceName;
  Bytes proof;
  BRINDLET_MESSAGE_CASE(PairRequest, 0x14, "pairRequest", control)
};
struct PairNonce {
  Bytes nonce;
  BRINDLET_MESSAGE_CASE(PairNonce, 0x15, "pairNonce", control)
};
struct PairReveal {
  Bytes nonce;
  BRINDLET_MESSAGE_CASE(PairReveal, 0x16, "pairReveal", control)
};
struct PairResult {
  ::brindlet::PairResult result = ::brindlet::PairResult::accepted;
  BRINDLET_MESSAGE_CASE(PairResult, 0x17, "pairResult", control)
};
struct HostStatus {
  HostState state = HostState::ok;
  std::optional<std::string> detail;
  BRINDLET_MESSAGE_CASE(HostStatus, 0x18, "hostStatus", control)
};
struct AppList {
  std::vector<AppInfo> apps;
  BRINDLET_MESSAGE_CASE(AppList, 0x19, "appList", control)
};
struct SetAppListUpdates {
  bool enabled = false;
  BRINDLET_MESSAGE_CASE(SetAppListUpdates, 0x1A, "setAppListUpdates", control)
};
struct ActivateApp {
  std::int32_t pid = 0;
  std::optional<std::uint32_t> windowID;
  bool moveCursor = false;
  BRINDLET_MESSAGE_CASE(ActivateApp, 0x1B, "activateApp", control)
};
struct Focus {
  std::int32_t pid = 0;
  std::uint32_t windowID = 0;
  bool fit = false;
  bool moveCursor = false;
  BRINDLET_MESSAGE_CASE(Focus, 0x1C, "focus", control)
};
struct Unfocus {
  BRINDLET_MESSAGE_CASE(Unfocus, 0x1D, "unfocus", control)
};
struct WindowThumbnails {
  bool enabled = false;
  std::vector<std::uint32_t> windowIDs;
  BRINDLET_MESSAGE_CASE(WindowThumbnails, 0x1E, "windowThumbnails", control)
};
struct WindowThumbnail {
  std::uint32_t windowID = 0;
  Bytes jpeg;
  BRINDLET_MESSAGE_CASE(WindowThumbnail, 0x1F, "windowThumbnail", control)
};
struct StreamMode {
  StreamModeInfo info;
  BRINDLET_MESSAGE_CASE(StreamMode, 0x20, "streamMode", control)
};
struct CursorShape {
  std::uint32_t shapeID = 0;
  Bytes png;
  float hotspotX = 0;
  float hotspotY = 0;
  float pointSize = 0;
  BRINDLET_MESSAGE_CASE(CursorShape, 0x21, "cursorShape", control)
};
struct RequestCursorShape {
  std::uint32_t shapeID = 0;
  BRINDLET_MESSAGE_CASE(RequestCursorShape, 0x22, "requestCursorShape", control)
};
struct SetVideoEnabled {
  bool enabled = false;
  BRINDLET_MESSAGE_CASE(SetVideoEnabled, 0x23, "setVideoEnabled", control)
};
// 0x24 is not assigned.
struct Text {
  std::string text;
  BRINDLET_MESSAGE_CASE(Text, 0x25, "text", input)
};
struct SetAudio {
  AudioMode mode = AudioMode::off;
  BRINDLET_MESSAGE_CASE(SetAudio, 0x26, "setAudio", control)
};
struct AudioConfig {
  std::uint32_t sampleRate = 0;
  std::uint8_t channels = 0;
  AudioCodec codec = AudioCodec::aacELD;
  Bytes magicCookie;
  BRINDLET_MESSAGE_CASE(AudioConfig, 0x27, "audioConfig", control)
};
struct AudioStatus {
  ::brindlet::AudioStatus status = ::brindlet::AudioStatus::off;
  std::optional<std::string> detail;
  BRINDLET_MESSAGE_CASE(AudioStatus, 0x28, "audioStatus", control)
};
struct RelayConfig {
  std::vector<RelayEndpoint> relays;
  Bytes grant;
  BRINDLET_MESSAGE_CASE(RelayConfig, 0x29, "relayConfig", control)
};
struct FocusBack {
  BRINDLET_MESSAGE_CASE(FocusBack, 0x2A, "focusBack", control)
};
struct RequestInstalledApps {
  BRINDLET_MESSAGE_CASE(RequestInstalledApps, 0x2B, "requestInstalledApps", control)
};
struct InstalledApps {
  std::vector<InstalledApp> apps;
  BRINDLET_MESSAGE_CASE(InstalledApps, 0x2C, "installedApps", control)
};
struct RequestAppIcons {
  std::vector<std::string> bundleIDs;
  // The most bundle IDs one request carries; the reader refuses more.
  static constexpr std::size_t maxCount = 24;
  BRINDLET_MESSAGE_CASE(RequestAppIcons, 0x2D, "requestAppIcons", control)
};
struct AppIcon {
  std::string bundleID;
  Bytes png;
  BRINDLET_MESSAGE_CASE(AppIcon, 0x2E, "appIcon", control)
};
struct LaunchApp {
  std::string bundleID;
  bool focus = false;
  BRINDLET_MESSAGE_CASE(LaunchApp, 0x2F, "launchApp", control)
};
struct LaunchStatus {
  ::brindlet::LaunchStatus status;
  BRINDLET_MESSAGE_CASE(LaunchStatus, 0x30, "launchStatus", control)
};
struct LaunchControl {
  std::string bundleID;
  LaunchAction action = LaunchAction::cancel;
  BRINDLET_MESSAGE_CASE(LaunchControl, 0x31, "launchControl", control)
};
struct QuitApp {
  std::int32_t pid = 0;
  BRINDLET_MESSAGE_CASE(QuitApp, 0x32, "quitApp", control)
};
struct RecentApps {
  std::vector<std::int32_t> pids;
  // The most process IDs the writer sends.
  static constexpr std::size_t maxCount = 64;
  BRINDLET_MESSAGE_CASE(RecentApps, 0x33, "recentApps", control)
};
struct FileOffer {
  std::uint32_t transferID = 0;
  std::vector<FileMeta> files;
  FileTransferKind kind = FileTransferKind::attach;
  BRINDLET_MESSAGE_CASE(FileOffer, 0x34, "fileOffer", control)
};
struct FileChunk {
  std::uint32_t transferID = 0;
  std::uint16_t fileIndex = 0;
  std::uint64_t offset = 0;
  Bytes data;
  BRINDLET_MESSAGE_CASE(FileChunk, 0x35, "fileChunk", transfer)
};
struct FileEnd {
  std::uint32_t transferID = 0;
  BRINDLET_MESSAGE_CASE(FileEnd, 0x36, "fileEnd", transfer)
};
struct FileCancel {
  std::uint32_t transferID = 0;
  BRINDLET_MESSAGE_CASE(FileCancel, 0x37, "fileCancel", control)
};
struct FileStatus {
  std::uint32_t transferID = 0;
  FileTransferState state = FileTransferState::accepted;
  std::uint64_t bytes = 0;
  std::string detail;
  BRINDLET_MESSAGE_CASE(FileStatus, 0x38, "fileStatus", control)
};
struct WatchActions {
  bool enabled = false;
  BRINDLET_MESSAGE_CASE(WatchActions, 0x39, "watchActions", control)
};
struct AppActions {
  std::string bundleID;
  std::string appName;
  std::uint32_t generation = 0;
  std::vector<MenuNode> menus;
  BRINDLET_MESSAGE_CASE(AppActions, 0x3A, "appActions", control)
};
struct PerformAction {
  std::uint32_t generation = 0;
  std::vector<std::string> path;
  // The most path elements the writer sends.
  static constexpr std::size_t maxCount = 5;
  BRINDLET_MESSAGE_CASE(PerformAction, 0x3B, "performAction", control)
};
struct ActionResult {
  bool ok = false;
  std::string detail;
  BRINDLET_MESSAGE_CASE(ActionResult, 0x3C, "actionResult", control)
};
struct TextFocus {
  bool isText = false;
  std::string bundleID;
  TextFocusKind kind = TextFocusKind::none;
  bool byClick = false;
  BRINDLET_MESSAGE_CASE(TextFocus, 0x3D, "textFocus", control)
};
struct SessionReplaced {
  std::string byDeviceName;
  BRINDLET_MESSAGE_CASE(SessionReplaced, 0x3E, "sessionReplaced", control)
};

}  // namespace brindlet::msg

#undef BRINDLET_MESSAGE_CASE

namespace brindlet {

// One protocol message: exactly one of the case structs of namespace msg (see the top of
// this file).
namespace detail {
template <class T, class V>
inline constexpr bool isAlternative = false;
template <class T, class... Cases>
inline constexpr bool isAlternative<T, std::variant<Cases...>> = (std::is_same_v<T, Cases> || ...);
}  // namespace detail

class Message {
 public:
  using Value = std::variant<
      msg::Hello, msg::HelloAck, msg::HelloReject, msg::DisplayList, msg::SelectDisplay, msg::Viewport,
      msg::SetThumbnails, msg::Thumbnail, msg::Feedback, msg::ClipboardText, msg::Key, msg::Pointer, msg::Ping,
      msg::Pong, msg::StreamInfo, msg::CursorState, msg::AuthChallenge, msg::AuthResponse, msg::AuthResult,
      msg::PairRequest, msg::PairNonce, msg::PairReveal, msg::PairResult, msg::HostStatus, msg::AppList,
      msg::SetAppListUpdates, msg::ActivateApp, msg::Focus, msg::Unfocus, msg::WindowThumbnails, msg::WindowThumbnail,
      msg::StreamMode, msg::CursorShape, msg::RequestCursorShape, msg::SetVideoEnabled, msg::Text, msg::SetAudio,
      msg::AudioConfig, msg::AudioStatus, msg::RelayConfig, msg::FocusBack, msg::RequestInstalledApps,
      msg::InstalledApps, msg::RequestAppIcons, msg::AppIcon, msg::LaunchApp, msg::LaunchStatus, msg::LaunchControl,
      msg::QuitApp, msg::RecentApps, msg::FileOffer, msg::FileChunk, msg::FileEnd, msg::FileCancel, msg::FileStatus,
      msg::WatchActions, msg::AppActions, msg::PerformAction, msg::ActionResult, msg::TextFocus, msg::SessionReplaced>;

  // Number of message cases.
  static constexpr std::size_t caseCount = std::variant_size_v<Value>;

  // True for the case structs of namespace msg.
  template <class T>
  static constexpr bool isCase = detail::isAlternative<std::decay_t<T>, Value>;

  Message() = default;  // an empty ping; messages are normally built from a case
  template <class T>
  requires isCase<T> Message(T&& body) : value(std::forward<T>(body)) {}

  // The wire type byte of the case (0x01 to 0x3E).
  std::uint8_t type() const {
    return std::visit([](const auto& body) { return std::decay_t<decltype(body)>::type; }, value);
  }
  // The stream class the message travels on.
  Channel channel() const {
    return std::visit([](const auto& body) { return std::decay_t<decltype(body)>::channel; }, value);
  }
  // The case name, as in "sessionReplaced".
  std::string_view name() const {
    return std::visit([](const auto& body) { return std::decay_t<decltype(body)>::name; }, value);
  }

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
  template <class T>
  const T* as() const {
    return std::get_if<T>(&value);
  }
  template <class T>
  T* as() {
    return std::get_if<T>(&value);
  }

  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), value);
  }
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit(std::forward<F>(f), value);
  }

  bool operator==(const Message&) const = default;

  Value value = msg::Ping{};
};

}  // namespace brindlet
