#include "SampleMessages.h"

namespace brindlet::testing {

namespace {

UUID uuid(std::uint8_t seed) {
  UUID id;
  for (std::size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return id;
}

Bytes blob(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
  return b;
}

std::vector<MenuNode> sampleMenus() {
  MenuNode copy{"Copy", "c", MenuNode::commandKey, true, MenuMark::none, false, {}};
  MenuNode ruler{"Show Ruler", "r", MenuNode::commandKey | MenuNode::optionKey, false, MenuMark::check, true, {}};
  MenuNode view{"View", "", 0, true, MenuMark::none, false, {ruler}};
  MenuNode edit{"Édition", "", 0, true, MenuMark::mixed, false, {copy, view}};
  return {edit, MenuNode{"Window", "", 0, true, MenuMark::bullet, true, {}}};
}

}  // namespace

std::vector<Message> sampleMessages() {
  ClientCapabilities caps{{CodecProfile::hevcMain444, CodecProfile::hevcMain}, 2732, 2048, 2.0f, "iPad14,5", true};
  DisplayInfo built{1, "Built-in Retina Display", true, 3024, 1964, DisplayFrame{0, 0, 1512, 982}};
  DisplayInfo external{724061396, "LG UltraFine ✓", false, 3840, 2160, DisplayFrame{-1920, -1080, 1920, 1080}};
  WindowInfo w1{42, "Untitled — Edited", DisplayFrame{10.5f, 20, 800, 600}, 1, true, false};
  WindowInfo w2{43, "", DisplayFrame{0, 0, 1, 1}, 0, false, true};
  AppInfo app{812, "com.example.editor", "Editor", blob(40, 3), true, {w1, w2}};
  AppInfo bare{99, "com.example.bare", "Bare", {}, false, {}};
  StreamModeInfo focusMode{StreamMode::focus(812, 42), true, "Fitted to your screen",
                           NormalizedRect{0.1f, 0.2f, 0.5f, 0.6f},
                           FocusFollowInfo{FocusFollowInfo::Kind::popup, "Editor", "Save As…", true}};

  return {
      msg::Hello{16, uuid(1), "Ana’s iPad", caps},
      msg::HelloAck{16, uuid(2), "Studio", CodecProfile::hevcMain444},
      msg::HelloReject{"Protocol version 15 is not supported"},
      msg::DisplayList{{built, external}},
      msg::SelectDisplay{724061396},
      msg::Viewport{Viewport{1, NormalizedRect{0.25f, 0.5f, 0.5f, 0.5f}, 1920, 1080}},
      msg::SetThumbnails{true},
      msg::Thumbnail{1, blob(300, 9)},
      msg::Feedback{Feedback{600, 3, 4.25f, true}},
      msg::ClipboardText{"Grüße 👋"},
      msg::Key{KeyEvent{HIDUsage::fn, true, ModifierFlags{ModifierFlags::command, ModifierFlags::shift}}},
      msg::Pointer{PointerEvent::MoveRelative{-3.5f, 7.25f}, 1},
      msg::Pointer{PointerEvent::MoveAbsolute{724061396, 0.5f, 0.75f}, 2},
      msg::Pointer{PointerEvent::Button{PointerButton::middle, true, 2}, 3},
      msg::Pointer{PointerEvent::Scroll{0, -12.5f, ScrollPhase::momentumEnded}, 0xFFFFFFFF},
      msg::Ping{0x0123456789ABCDEFull},
      msg::Pong{0xFEDCBA9876543210ull},
      msg::StreamInfo{1, NormalizedRect::full, 2732, 1778, CodecProfile::hevcMain10},
      msg::CursorState{77, 1, 0.5f, 0.25f, true, 0xDEADBEEF},
      msg::AuthChallenge{blob(32, 1)},
      msg::AuthResponse{uuid(3), blob(65, 4), blob(64, 5)},
      msg::AuthResult{AuthResult::notPaired},
      msg::PairRequest{PairMethod::compare, "Ana’s iPad", blob(32, 6)},
      msg::PairNonce{blob(32, 7)},
      msg::PairReveal{blob(32, 8)},
      msg::PairResult{PairResult::expiredToken},
      msg::HostStatus{HostState::captureBlocked, "Screen Recording is off"},
      msg::HostStatus{HostState::asleep, std::nullopt},
      msg::AppList{{app, bare}},
      msg::SetAppListUpdates{true},
      msg::ActivateApp{812, 42u, true},
      msg::ActivateApp{812, std::nullopt, false},
      msg::Focus{812, 42, true, false},
      msg::Unfocus{},
      msg::WindowThumbnails{true, {42, 43, 0xFFFFFFFF}},
      msg::WindowThumbnail{42, blob(500, 10)},
      msg::StreamMode{focusMode},
      msg::StreamMode{StreamModeInfo{StreamMode::desktop(), false, std::nullopt, NormalizedRect::full, std::nullopt}},
      msg::CursorShape{0xCAFEF00D, blob(120, 11), 3.5f, 4.0f, 32.0f},
      msg::RequestCursorShape{0xCAFEF00D},
      msg::SetVideoEnabled{true},
      msg::Text{"é"},
      msg::SetAudio{AudioMode::phoneOnly},
      msg::AudioConfig{48000, 2, AudioCodec::aacELD, blob(6, 12)},
      msg::AudioStatus{::brindlet::AudioStatus::permissionMissing, "Allow System Audio Recording"},
      msg::AudioStatus{::brindlet::AudioStatus::playing, std::nullopt},
      msg::RelayConfig{{RelayEndpoint{"relay-1.example.net", 3478}, RelayEndpoint{"203.0.113.9", 443}}, blob(170, 13)},
      msg::FocusBack{},
      msg::RequestInstalledApps{},
      msg::InstalledApps{{InstalledApp{"com.example.editor", "Editor", 0xcbf29ce484222325ull},
                          InstalledApp{"com.example.mail", "Mail", 1}}},
      msg::RequestAppIcons{{"com.example.editor", "com.example.mail"}},
      msg::AppIcon{"com.example.editor", blob(90, 14)},
      msg::LaunchApp{"com.example.mail", true},
      msg::LaunchStatus{LaunchStatus{"com.example.mail", LaunchState::noWindow, 2500, "No window yet"}},
      msg::LaunchControl{"com.example.mail", LaunchAction::keepWaiting},
      msg::QuitApp{-5},
      msg::RecentApps{{812, 99, -1}},
      msg::FileOffer{7,
                     {FileMeta{"photo.heic", "public.heic", 2'000'000}, FileMeta{"notes.txt", "public.plain-text", 0}},
                     FileTransferKind::paste},
      msg::FileChunk{7, 1, 65536, blob(1000, 15)},
      msg::FileEnd{7},
      msg::FileCancel{8},
      msg::FileStatus{7, FileTransferState::progress, 123456789012ull, "Receiving"},
      msg::WatchActions{true},
      msg::AppActions{"com.example.editor", "Editor", 0xFFFFFFFF, sampleMenus()},
      msg::PerformAction{41, {"Edit", "View", "Show Ruler"}},
      msg::ActionResult{false, "That item is no longer available"},
      msg::TextFocus{true, "com.example.editor", TextFocusKind::terminal, true},
      msg::SessionReplaced{"Ben’s iPhone"},
  };
}

VideoFrame sampleVideoFrame() {
  return VideoFrame{1,
                    1234567890123ull,
                    987654321000ull,
                    true,
                    CodecProfile::hevcMain444,
                    2732,
                    1778,
                    NormalizedRect{0.1f, 0.2f, 0.8f, 0.7f},
                    {blob(24, 1), blob(12, 2), blob(8, 3)},
                    blob(1000, 4)};
}

AudioPacket sampleAudioPacket() { return AudioPacket{1'700'000'000'000'000ull, blob(187, 5)}; }

}  // namespace brindlet::testing
