#include "kit/protocol/WireCodec.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace brindlet {

namespace {

constexpr std::size_t u8Cap = 0xFF;
constexpr std::size_t u16Cap = 0xFFFF;

using W = WireCodec;

// Starts a frame at the end of `out`: room for the length, then the type byte. Returns where
// the frame starts.
std::size_t beginFrame(Bytes& out, std::uint8_t type) {
  const std::size_t start = out.size();
  out.resize(start + 4);
  out.push_back(type);
  return start;
}

// Writes the payload length into the room beginFrame left.
void finishFrame(Bytes& out, std::size_t start) {
  const std::uint64_t n = out.size() - start - 4;
  const std::uint32_t length = n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
  out[start] = static_cast<std::uint8_t>(length >> 24);
  out[start + 1] = static_cast<std::uint8_t>(length >> 16);
  out[start + 2] = static_cast<std::uint8_t>(length >> 8);
  out[start + 3] = static_cast<std::uint8_t>(length);
}

template <class E>
void writeEnum(E value, Bytes& out) {
  out.push_back(rawValue(value));
}

// A list count of one or two bytes, clamped to `cap`; returns how many elements follow.
std::size_t writeCount(std::size_t count, std::size_t cap, bool wide, Bytes& out) {
  const std::size_t n = std::min(count, cap);
  if (wide) {
    W::writeU16(static_cast<std::uint16_t>(n), out);
  } else {
    W::writeU8(static_cast<std::uint8_t>(n), out);
  }
  return n;
}

template <class T, class F>
void writeList(const std::vector<T>& items, std::size_t cap, bool wide, Bytes& out, F writeOne) {
  const std::size_t n = writeCount(items.size(), cap, wide, out);
  for (std::size_t i = 0; i < n; ++i) writeOne(items[i]);
}

template <class F>
auto readList(WireReader& r, bool wide, F readOne) {
  const std::size_t count = wide ? r.readU16() : r.readU8();
  std::vector<decltype(readOne())> items;
  // A hostile count must not reserve more than the bytes that could back it.
  items.reserve(std::min(count, r.remaining()));
  for (std::size_t i = 0; i < count; ++i) items.push_back(readOne());
  return items;
}

void writeOptionalString(const std::optional<std::string>& value, Bytes& out) {
  W::writeBool(value.has_value(), out);
  if (value) W::writeString(*value, out);
}

std::optional<std::string> readOptionalString(WireReader& r) {
  if (!r.readBool()) return std::nullopt;
  return r.readString();
}

// Message bodies, one writer per case.

void body(const msg::Hello& m, Bytes& out) {
  W::writeU16(m.version, out);
  W::writeUUID(m.deviceID, out);
  W::writeString(m.deviceName, out);
  const ClientCapabilities& c = m.capabilities;
  writeList(c.decodableProfiles, u8Cap, false, out, [&](CodecProfile p) { writeEnum(p, out); });
  W::writeU32(c.screenPixelWidth, out);
  W::writeU32(c.screenPixelHeight, out);
  W::writeFloat(c.scale, out);
  W::writeString(c.deviceModel, out);
  W::writeBool(c.supportsFolio, out);
}
void body(const msg::HelloAck& m, Bytes& out) {
  W::writeU16(m.version, out);
  W::writeUUID(m.hostID, out);
  W::writeString(m.hostName, out);
  writeEnum(m.profile, out);
}
void body(const msg::HelloReject& m, Bytes& out) { W::writeString(m.reason, out); }
void body(const msg::DisplayList& m, Bytes& out) {
  writeList(m.displays, u16Cap, true, out, [&](const DisplayInfo& d) {
    W::writeU32(d.id, out);
    W::writeString(d.name, out);
    W::writeBool(d.isMain, out);
    W::writeU32(d.pixelWidth, out);
    W::writeU32(d.pixelHeight, out);
    W::writeRect(d.frame, out);
  });
}
void body(const msg::SelectDisplay& m, Bytes& out) { W::writeU32(m.displayID, out); }
void body(const msg::Viewport& m, Bytes& out) {
  W::writeU32(m.viewport.displayID, out);
  W::writeRect(m.viewport.sourceRect, out);
  W::writeU32(m.viewport.outputWidth, out);
  W::writeU32(m.viewport.outputHeight, out);
}
void body(const msg::SetThumbnails& m, Bytes& out) { W::writeBool(m.enabled, out); }
void body(const msg::Thumbnail& m, Bytes& out) {
  W::writeU32(m.displayID, out);
  W::writeData(m.jpeg, out);
}
void body(const msg::Feedback& m, Bytes& out) {
  W::writeU32(m.feedback.framesReceived, out);
  W::writeU32(m.feedback.framesDropped, out);
  W::writeFloat(m.feedback.jitterMs, out);
  W::writeBool(m.feedback.requestKeyframe, out);
}
void body(const msg::ClipboardText& m, Bytes& out) { W::writeString(m.text, out); }
void body(const msg::Key& m, Bytes& out) {
  W::writeU16(m.event.usage.rawValue, out);
  W::writeBool(m.event.isDown, out);
  W::writeU8(m.event.modifiers.rawValue, out);
}
void body(const msg::Pointer& m, Bytes& out) {
  W::writeU32(m.seq, out);
  W::writeU8(static_cast<std::uint8_t>(m.event.value.index()), out);
  if (auto* e = std::get_if<PointerEvent::MoveRelative>(&m.event.value)) {
    W::writeFloat(e->dx, out);
    W::writeFloat(e->dy, out);
  } else if (auto* e = std::get_if<PointerEvent::MoveAbsolute>(&m.event.value)) {
    W::writeU32(e->displayID, out);
    W::writeFloat(e->x, out);
    W::writeFloat(e->y, out);
  } else if (auto* e = std::get_if<PointerEvent::Button>(&m.event.value)) {
    writeEnum(e->button, out);
    W::writeBool(e->isDown, out);
    W::writeU8(e->clickCount, out);
  } else if (auto* e = std::get_if<PointerEvent::Scroll>(&m.event.value)) {
    W::writeFloat(e->dx, out);
    W::writeFloat(e->dy, out);
    writeEnum(e->phase, out);
  }
}
void body(const msg::Ping& m, Bytes& out) { W::writeU64(m.value, out); }
void body(const msg::Pong& m, Bytes& out) { W::writeU64(m.value, out); }
void body(const msg::StreamInfo& m, Bytes& out) {
  W::writeU32(m.displayID, out);
  W::writeRect(m.sourceRect, out);
  W::writeU32(m.width, out);
  W::writeU32(m.height, out);
  writeEnum(m.profile, out);
}
void body(const msg::CursorState& m, Bytes& out) {
  W::writeU32(m.seq, out);
  W::writeU32(m.displayID, out);
  W::writeFloat(m.x, out);
  W::writeFloat(m.y, out);
  W::writeBool(m.visible, out);
  W::writeU32(m.shapeID, out);
}
void body(const msg::AuthChallenge& m, Bytes& out) { W::writeData(m.nonce, out); }
void body(const msg::AuthResponse& m, Bytes& out) {
  W::writeUUID(m.deviceID, out);
  W::writeData(m.publicKey, out);
  W::writeData(m.signature, out);
}
void body(const msg::AuthResult& m, Bytes& out) { writeEnum(m.result, out); }
void body(const msg::PairRequest& m, Bytes& out) {
  writeEnum(m.method, out);
  W::writeString(m.deviceName, out);
  W::writeData(m.proof, out);
}
void body(const msg::PairNonce& m, Bytes& out) { W::writeData(m.nonce, out); }
void body(const msg::PairReveal& m, Bytes& out) { W::writeData(m.nonce, out); }
void body(const msg::PairResult& m, Bytes& out) { writeEnum(m.result, out); }
void body(const msg::HostStatus& m, Bytes& out) {
  writeEnum(m.state, out);
  writeOptionalString(m.detail, out);
}
void body(const msg::AppList& m, Bytes& out) {
  writeList(m.apps, u16Cap, true, out, [&](const AppInfo& a) {
    W::writeInt32(a.pid, out);
    W::writeString(a.bundleID, out);
    W::writeString(a.name, out);
    W::writeData(a.icon, out);
    W::writeBool(a.isFrontmost, out);
    writeList(a.windows, u16Cap, true, out, [&](const WindowInfo& w) {
      W::writeU32(w.id, out);
      W::writeString(w.title, out);
      W::writeRect(w.frame, out);
      W::writeU32(w.displayID, out);
      W::writeBool(w.isOnScreen, out);
      W::writeBool(w.isMinimized, out);
    });
  });
}
void body(const msg::SetAppListUpdates& m, Bytes& out) { W::writeBool(m.enabled, out); }
void body(const msg::ActivateApp& m, Bytes& out) {
  W::writeInt32(m.pid, out);
  W::writeBool(m.windowID.has_value(), out);
  if (m.windowID) W::writeU32(*m.windowID, out);
  W::writeBool(m.moveCursor, out);
}
void body(const msg::Focus& m, Bytes& out) {
  W::writeInt32(m.pid, out);
  W::writeU32(m.windowID, out);
  W::writeBool(m.fit, out);
  W::writeBool(m.moveCursor, out);
}
void body(const msg::Unfocus&, Bytes&) {}
void body(const msg::WindowThumbnails& m, Bytes& out) {
  W::writeBool(m.enabled, out);
  writeList(m.windowIDs, u16Cap, true, out, [&](std::uint32_t id) { W::writeU32(id, out); });
}
void body(const msg::WindowThumbnail& m, Bytes& out) {
  W::writeU32(m.windowID, out);
  W::writeData(m.jpeg, out);
}
void body(const msg::StreamMode& m, Bytes& out) {
  const StreamModeInfo& info = m.info;
  if (const StreamMode::Focus* f = info.mode.focused()) {
    W::writeU8(1, out);
    W::writeInt32(f->pid, out);
    W::writeU32(f->windowID, out);
  } else {
    W::writeU8(0, out);
  }
  W::writeBool(info.fitApplied, out);
  writeOptionalString(info.notice, out);
  W::writeRect(info.surface, out);
  if (info.follow) {
    writeEnum(info.follow->kind, out);
    W::writeString(info.follow->appName, out);
    W::writeString(info.follow->title, out);
    W::writeBool(info.follow->canGoBack, out);
  } else {
    W::writeU8(0, out);
  }
}
void body(const msg::CursorShape& m, Bytes& out) {
  W::writeU32(m.shapeID, out);
  W::writeData(m.png, out);
  W::writeFloat(m.hotspotX, out);
  W::writeFloat(m.hotspotY, out);
  W::writeFloat(m.pointSize, out);
}
void body(const msg::RequestCursorShape& m, Bytes& out) { W::writeU32(m.shapeID, out); }
void body(const msg::SetVideoEnabled& m, Bytes& out) { W::writeBool(m.enabled, out); }
void body(const msg::Text& m, Bytes& out) { W::writeString(m.text, out); }
void body(const msg::SetAudio& m, Bytes& out) { writeEnum(m.mode, out); }
void body(const msg::AudioConfig& m, Bytes& out) {
  W::writeU32(m.sampleRate, out);
  W::writeU8(m.channels, out);
  writeEnum(m.codec, out);
  W::writeData(m.magicCookie, out);
}
void body(const msg::AudioStatus& m, Bytes& out) {
  writeEnum(m.status, out);
  writeOptionalString(m.detail, out);
}
void body(const msg::RelayConfig& m, Bytes& out) {
  writeList(m.relays, u8Cap, false, out, [&](const RelayEndpoint& e) {
    W::writeString(e.host, out);
    W::writeU16(e.port, out);
  });
  W::writeData(m.grant, out);
}
void body(const msg::FocusBack&, Bytes&) {}
void body(const msg::RequestInstalledApps&, Bytes&) {}
void body(const msg::InstalledApps& m, Bytes& out) {
  writeList(m.apps, u16Cap, true, out, [&](const InstalledApp& a) {
    W::writeString(a.bundleID, out);
    W::writeString(a.name, out);
    W::writeU64(a.iconHash, out);
  });
}
void body(const msg::RequestAppIcons& m, Bytes& out) {
  writeList(m.bundleIDs, msg::RequestAppIcons::maxCount, false, out,
            [&](const std::string& id) { W::writeString(id, out); });
}
void body(const msg::AppIcon& m, Bytes& out) {
  W::writeString(m.bundleID, out);
  W::writeData(m.png, out);
}
void body(const msg::LaunchApp& m, Bytes& out) {
  W::writeString(m.bundleID, out);
  W::writeBool(m.focus, out);
}
void body(const msg::LaunchStatus& m, Bytes& out) {
  W::writeString(m.status.bundleID, out);
  writeEnum(m.status.state, out);
  W::writeU32(m.status.elapsedMs, out);
  W::writeString(m.status.detail, out);
}
void body(const msg::LaunchControl& m, Bytes& out) {
  W::writeString(m.bundleID, out);
  writeEnum(m.action, out);
}
void body(const msg::QuitApp& m, Bytes& out) { W::writeInt32(m.pid, out); }
void body(const msg::RecentApps& m, Bytes& out) {
  writeList(m.pids, msg::RecentApps::maxCount, true, out, [&](std::int32_t pid) { W::writeInt32(pid, out); });
}
void body(const msg::FileOffer& m, Bytes& out) {
  W::writeU32(m.transferID, out);
  writeList(m.files, u16Cap, true, out, [&](const FileMeta& f) {
    W::writeString(f.name, out);
    W::writeString(f.typeID, out);
    W::writeU64(f.size, out);
  });
  writeEnum(m.kind, out);
}
void body(const msg::FileChunk& m, Bytes& out) {
  W::writeU32(m.transferID, out);
  W::writeU16(m.fileIndex, out);
  W::writeU64(m.offset, out);
  W::writeData(m.data, out);
}
void body(const msg::FileEnd& m, Bytes& out) { W::writeU32(m.transferID, out); }
void body(const msg::FileCancel& m, Bytes& out) { W::writeU32(m.transferID, out); }
void body(const msg::FileStatus& m, Bytes& out) {
  W::writeU32(m.transferID, out);
  writeEnum(m.state, out);
  W::writeU64(m.bytes, out);
  W::writeString(m.detail, out);
}
void body(const msg::WatchActions& m, Bytes& out) { W::writeBool(m.enabled, out); }
void body(const msg::AppActions& m, Bytes& out) {
  W::writeString(m.bundleID, out);
  W::writeString(m.appName, out);
  W::writeU32(m.generation, out);
  int budget = MenuNode::maxNodes;
  W::writeMenuNodes(m.menus, 1, budget, out);
}
void body(const msg::PerformAction& m, Bytes& out) {
  W::writeU32(m.generation, out);
  writeList(m.path, msg::PerformAction::maxCount, false, out, [&](const std::string& s) { W::writeString(s, out); });
}
void body(const msg::ActionResult& m, Bytes& out) {
  W::writeBool(m.ok, out);
  W::writeString(m.detail, out);
}
void body(const msg::TextFocus& m, Bytes& out) {
  W::writeBool(m.isText, out);
  W::writeString(m.bundleID, out);
  writeEnum(m.kind, out);
  W::writeBool(m.byClick, out);
}
void body(const msg::SessionReplaced& m, Bytes& out) { W::writeString(m.byDeviceName, out); }

// Message bodies, one reader per case.

template <class T>
T read(WireReader& r);

template <>
msg::Hello read(WireReader& r) {
  msg::Hello m;
  m.version = r.readU16();
  m.deviceID = r.readUUID();
  m.deviceName = r.readString();
  ClientCapabilities& c = m.capabilities;
  c.decodableProfiles = readList(r, false, [&] { return r.readCodecProfile(); });
  c.screenPixelWidth = r.readU32();
  c.screenPixelHeight = r.readU32();
  c.scale = r.readFloat();
  c.deviceModel = r.readString();
  c.supportsFolio = r.readBool();
  return m;
}
template <>
msg::HelloAck read(WireReader& r) {
  msg::HelloAck m;
  m.version = r.readU16();
  m.hostID = r.readUUID();
  m.hostName = r.readString();
  m.profile = r.readCodecProfile();
  return m;
}
template <>
msg::HelloReject read(WireReader& r) {
  return msg::HelloReject{r.readString()};
}
template <>
msg::DisplayList read(WireReader& r) {
  msg::DisplayList m;
  m.displays = readList(r, true, [&] {
    DisplayInfo d;
    d.id = r.readU32();
    d.name = r.readString();
    d.isMain = r.readBool();
    d.pixelWidth = r.readU32();
    d.pixelHeight = r.readU32();
    d.frame = r.readDisplayFrame();
    return d;
  });
  return m;
}
template <>
msg::SelectDisplay read(WireReader& r) {
  return msg::SelectDisplay{r.readU32()};
}
template <>
msg::Viewport read(WireReader& r) {
  msg::Viewport m;
  m.viewport.displayID = r.readU32();
  m.viewport.sourceRect = r.readRect();
  m.viewport.outputWidth = r.readU32();
  m.viewport.outputHeight = r.readU32();
  return m;
}
template <>
msg::SetThumbnails read(WireReader& r) {
  return msg::SetThumbnails{r.readBool()};
}
template <>
msg::Thumbnail read(WireReader& r) {
  msg::Thumbnail m;
  m.displayID = r.readU32();
  m.jpeg = r.readData();
  return m;
}
template <>
msg::Feedback read(WireReader& r) {
  msg::Feedback m;
  m.feedback.framesReceived = r.readU32();
  m.feedback.framesDropped = r.readU32();
  m.feedback.jitterMs = r.readFloat();
  m.feedback.requestKeyframe = r.readBool();
  return m;
}
template <>
msg::ClipboardText read(WireReader& r) {
  return msg::ClipboardText{r.readString()};
}
template <>
msg::Key read(WireReader& r) {
  msg::Key m;
  m.event.usage = HIDUsage{r.readU16()};
  m.event.isDown = r.readBool();
  m.event.modifiers = ModifierFlags(r.readU8());
  return m;
}
template <>
msg::Pointer read(WireReader& r) {
  msg::Pointer m;
  m.seq = r.readU32();
  const std::uint8_t kind = r.readU8();
  switch (kind) {
    case 0: {
      PointerEvent::MoveRelative e;
      e.dx = r.readFloat();
      e.dy = r.readFloat();
      m.event = e;
      break;
    }
    case 1: {
      PointerEvent::MoveAbsolute e;
      e.displayID = r.readU32();
      e.x = r.readFloat();
      e.y = r.readFloat();
      m.event = e;
      break;
    }
    case 2: {
      PointerEvent::Button e;
      e.button = r.readEnum<PointerButton>("button ");
      e.isDown = r.readBool();
      e.clickCount = r.readU8();
      m.event = e;
      break;
    }
    case 3: {
      PointerEvent::Scroll e;
      e.dx = r.readFloat();
      e.dy = r.readFloat();
      e.phase = r.readEnum<ScrollPhase>("scroll phase ");
      m.event = e;
      break;
    }
    default:
      throw WireError::invalidValue("pointer kind " + std::to_string(kind));
  }
  return m;
}
template <>
msg::Ping read(WireReader& r) {
  return msg::Ping{r.readU64()};
}
template <>
msg::Pong read(WireReader& r) {
  return msg::Pong{r.readU64()};
}
template <>
msg::StreamInfo read(WireReader& r) {
  msg::StreamInfo m;
  m.displayID = r.readU32();
  m.sourceRect = r.readRect();
  m.width = r.readU32();
  m.height = r.readU32();
  m.profile = r.readCodecProfile();
  return m;
}
template <>
msg::CursorState read(WireReader& r) {
  msg::CursorState m;
  m.seq = r.readU32();
  m.displayID = r.readU32();
  m.x = r.readFloat();
  m.y = r.readFloat();
  m.visible = r.readBool();
  m.shapeID = r.readU32();
  return m;
}
template <>
msg::AuthChallenge read(WireReader& r) {
  return msg::AuthChallenge{r.readData()};
}
template <>
msg::AuthResponse read(WireReader& r) {
  msg::AuthResponse m;
  m.deviceID = r.readUUID();
  m.publicKey = r.readData();
  m.signature = r.readData();
  return m;
}
template <>
msg::AuthResult read(WireReader& r) {
  return msg::AuthResult{r.readEnum<AuthResult>("auth result ")};
}
template <>
msg::PairRequest read(WireReader& r) {
  msg::PairRequest m;
  m.method = r.readEnum<PairMethod>("pair method ");
  m.deviceName = r.readString();
  m.proof = r.readData();
  return m;
}
template <>
msg::PairNonce read(WireReader& r) {
  return msg::PairNonce{r.readData()};
}
template <>
msg::PairReveal read(WireReader& r) {
  return msg::PairReveal{r.readData()};
}
template <>
msg::PairResult read(WireReader& r) {
  return msg::PairResult{r.readEnum<PairResult>("pair result ")};
}
template <>
msg::HostStatus read(WireReader& r) {
  msg::HostStatus m;
  m.state = r.readEnum<HostState>("host state ");
  m.detail = readOptionalString(r);
  return m;
}
template <>
msg::AppList read(WireReader& r) {
  msg::AppList m;
  m.apps = readList(r, true, [&] {
    AppInfo a;
    a.pid = r.readInt32();
    a.bundleID = r.readString();
    a.name = r.readString();
    a.icon = r.readData();
    a.isFrontmost = r.readBool();
    a.windows = readList(r, true, [&] {
      WindowInfo w;
      w.id = r.readU32();
      w.title = r.readString();
      w.frame = r.readDisplayFrame();
      w.displayID = r.readU32();
      w.isOnScreen = r.readBool();
      w.isMinimized = r.readBool();
      return w;
    });
    return a;
  });
  return m;
}
template <>
msg::SetAppListUpdates read(WireReader& r) {
  return msg::SetAppListUpdates{r.readBool()};
}
template <>
msg::ActivateApp read(WireReader& r) {
  msg::ActivateApp m;
  m.pid = r.readInt32();
  if (r.readBool()) m.windowID = r.readU32();
  m.moveCursor = r.readBool();
  return m;
}
template <>
msg::Focus read(WireReader& r) {
  msg::Focus m;
  m.pid = r.readInt32();
  m.windowID = r.readU32();
  m.fit = r.readBool();
  m.moveCursor = r.readBool();
  return m;
}
template <>
msg::Unfocus read(WireReader&) {
  return {};
}
template <>
msg::WindowThumbnails read(WireReader& r) {
  msg::WindowThumbnails m;
  m.enabled = r.readBool();
  m.windowIDs = readList(r, true, [&] { return r.readU32(); });
  return m;
}
template <>
msg::WindowThumbnail read(WireReader& r) {
  msg::WindowThumbnail m;
  m.windowID = r.readU32();
  m.jpeg = r.readData();
  return m;
}
template <>
msg::StreamMode read(WireReader& r) {
  msg::StreamMode m;
  StreamModeInfo& info = m.info;
  const std::uint8_t mode = r.readU8();
  if (mode == 0) {
    info.mode = StreamMode::desktop();
  } else if (mode == 1) {
    const std::int32_t pid = r.readInt32();
    info.mode = StreamMode::focus(pid, r.readU32());
  } else {
    throw WireError::invalidValue("stream mode " + std::to_string(mode));
  }
  info.fitApplied = r.readBool();
  info.notice = readOptionalString(r);
  info.surface = r.readRect();
  // A body that ends after the surface carries no follow information.
  if (r.isAtEnd()) return m;
  const std::uint8_t follow = r.readU8();
  if (follow == 0) return m;
  const auto kind = fromRaw<FocusFollowInfo::Kind>(follow);
  if (!kind) throw WireError::invalidValue("follow kind " + std::to_string(follow));
  FocusFollowInfo f;
  f.kind = *kind;
  f.appName = r.readString();
  f.title = r.readString();
  f.canGoBack = r.readBool();
  info.follow = std::move(f);
  return m;
}
template <>
msg::CursorShape read(WireReader& r) {
  msg::CursorShape m;
  m.shapeID = r.readU32();
  m.png = r.readData();
  m.hotspotX = r.readFloat();
  m.hotspotY = r.readFloat();
  m.pointSize = r.readFloat();
  return m;
}
template <>
msg::RequestCursorShape read(WireReader& r) {
  return msg::RequestCursorShape{r.readU32()};
}
template <>
msg::SetVideoEnabled read(WireReader& r) {
  return msg::SetVideoEnabled{r.readBool()};
}
template <>
msg::Text read(WireReader& r) {
  return msg::Text{r.readString()};
}
template <>
msg::SetAudio read(WireReader& r) {
  return msg::SetAudio{r.readEnum<AudioMode>("audio mode ")};
}
template <>
msg::AudioConfig read(WireReader& r) {
  msg::AudioConfig m;
  m.sampleRate = r.readU32();
  m.channels = r.readU8();
  m.codec = r.readEnum<AudioCodec>("audio codec ");
  m.magicCookie = r.readData();
  return m;
}
template <>
msg::AudioStatus read(WireReader& r) {
  msg::AudioStatus m;
  m.status = r.readEnum<AudioStatus>("audio status ");
  m.detail = readOptionalString(r);
  return m;
}
template <>
msg::RelayConfig read(WireReader& r) {
  msg::RelayConfig m;
  m.relays = readList(r, false, [&] {
    RelayEndpoint e;
    e.host = r.readString();
    e.port = r.readU16();
    return e;
  });
  m.grant = r.readData();
  return m;
}
template <>
msg::FocusBack read(WireReader&) {
  return {};
}
template <>
msg::RequestInstalledApps read(WireReader&) {
  return {};
}
template <>
msg::InstalledApps read(WireReader& r) {
  msg::InstalledApps m;
  m.apps = readList(r, true, [&] {
    InstalledApp a;
    a.bundleID = r.readString();
    a.name = r.readString();
    a.iconHash = r.readU64();
    return a;
  });
  return m;
}
template <>
msg::RequestAppIcons read(WireReader& r) {
  const std::uint8_t count = r.readU8();
  if (count > msg::RequestAppIcons::maxCount) {
    throw WireError::invalidValue("icon request " + std::to_string(count));
  }
  msg::RequestAppIcons m;
  for (std::uint8_t i = 0; i < count; ++i) m.bundleIDs.push_back(r.readString());
  return m;
}
template <>
msg::AppIcon read(WireReader& r) {
  msg::AppIcon m;
  m.bundleID = r.readString();
  m.png = r.readData();
  return m;
}
template <>
msg::LaunchApp read(WireReader& r) {
  msg::LaunchApp m;
  m.bundleID = r.readString();
  m.focus = r.readBool();
  return m;
}
template <>
msg::LaunchStatus read(WireReader& r) {
  msg::LaunchStatus m;
  m.status.bundleID = r.readString();
  m.status.state = r.readEnum<LaunchState>("launch state ");
  m.status.elapsedMs = r.readU32();
  m.status.detail = r.readString();
  return m;
}
template <>
msg::LaunchControl read(WireReader& r) {
  msg::LaunchControl m;
  m.bundleID = r.readString();
  m.action = r.readEnum<LaunchAction>("launch action ");
  return m;
}
template <>
msg::QuitApp read(WireReader& r) {
  return msg::QuitApp{r.readInt32()};
}
template <>
msg::RecentApps read(WireReader& r) {
  return msg::RecentApps{readList(r, true, [&] { return r.readInt32(); })};
}
template <>
msg::FileOffer read(WireReader& r) {
  msg::FileOffer m;
  m.transferID = r.readU32();
  m.files = readList(r, true, [&] {
    FileMeta f;
    f.name = r.readString();
    f.typeID = r.readString();
    f.size = r.readU64();
    return f;
  });
  m.kind = r.readEnum<FileTransferKind>("transfer kind ");
  return m;
}
template <>
msg::FileChunk read(WireReader& r) {
  msg::FileChunk m;
  m.transferID = r.readU32();
  m.fileIndex = r.readU16();
  m.offset = r.readU64();
  m.data = r.readData();
  return m;
}
template <>
msg::FileEnd read(WireReader& r) {
  return msg::FileEnd{r.readU32()};
}
template <>
msg::FileCancel read(WireReader& r) {
  return msg::FileCancel{r.readU32()};
}
template <>
msg::FileStatus read(WireReader& r) {
  msg::FileStatus m;
  m.transferID = r.readU32();
  m.state = r.readEnum<FileTransferState>("transfer state ");
  m.bytes = r.readU64();
  m.detail = r.readString();
  return m;
}
template <>
msg::WatchActions read(WireReader& r) {
  return msg::WatchActions{r.readBool()};
}
template <>
msg::AppActions read(WireReader& r) {
  msg::AppActions m;
  m.bundleID = r.readString();
  m.appName = r.readString();
  m.generation = r.readU32();
  int budget = MenuNode::maxNodes;
  m.menus = r.readMenuNodes(1, budget);
  return m;
}
template <>
msg::PerformAction read(WireReader& r) {
  msg::PerformAction m;
  m.generation = r.readU32();
  m.path = readList(r, false, [&] { return r.readString(); });
  return m;
}
template <>
msg::ActionResult read(WireReader& r) {
  msg::ActionResult m;
  m.ok = r.readBool();
  m.detail = r.readString();
  return m;
}
template <>
msg::TextFocus read(WireReader& r) {
  msg::TextFocus m;
  m.isText = r.readBool();
  m.bundleID = r.readString();
  m.kind = fromRaw<TextFocusKind>(r.readU8()).value_or(TextFocusKind::none);
  m.byClick = r.readBool();
  return m;
}
template <>
msg::SessionReplaced read(WireReader& r) {
  return msg::SessionReplaced{r.readString()};
}

// Decoders indexed by type byte, built from the cases of Message.
using BodyDecoder = Message (*)(WireReader&);

template <class T>
Message decodeAs(WireReader& r) {
  return Message(read<T>(r));
}

template <std::size_t... I>
constexpr std::array<BodyDecoder, 256> makeDecoders(std::index_sequence<I...>) {
  std::array<BodyDecoder, 256> table{};
  ((table[std::variant_alternative_t<I, Message::Value>::type] =
        &decodeAs<std::variant_alternative_t<I, Message::Value>>),
   ...);
  return table;
}

constexpr std::array<BodyDecoder, 256> bodyDecoders = makeDecoders(std::make_index_sequence<Message::caseCount>());

// The menu-tree writer behind writeMenuNodes. `reserved` nodes of the budget are kept for
// siblings of ancestors that are still to be written, so a subtree only takes what is left
// once they are counted: the budget therefore never goes below zero and every list count
// stays within what the reader, which lowers the same budget node by node, accepts.
void writeMenuTree(std::span<const MenuNode> nodes, int depth, int& budget, int reserved, Bytes& out) {
  const int available = budget - reserved;
  const std::size_t count = available <= 0 ? 0 : std::min({static_cast<std::size_t>(available), nodes.size(), u16Cap});
  W::writeU16(static_cast<std::uint16_t>(count), out);
  for (std::size_t i = 0; i < count; ++i) {
    const MenuNode& node = nodes[i];
    budget -= 1;
    W::writeString(node.title, out);
    W::writeString(node.key, out);
    W::writeU8(node.modifiers, out);
    W::writeBool(node.enabled, out);
    writeEnum(node.mark, out);
    W::writeBool(node.separatorBefore, out);
    const int laterSiblings = static_cast<int>(count - i - 1);
    const std::span<const MenuNode> children =
        depth >= MenuNode::maxDepth ? std::span<const MenuNode>() : std::span<const MenuNode>(node.children);
    writeMenuTree(children, depth + 1, budget, reserved + laterSiblings, out);
  }
}

}  // namespace

Bytes WireCodec::frame(ByteView payload) {
  Bytes out;
  const std::size_t n = std::min<std::size_t>(payload.size(), 0xFFFFFFFFu);
  out.reserve(4 + n);
  writeU32(static_cast<std::uint32_t>(n), out);
  out.insert(out.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

Bytes WireCodec::encode(const Message& message) {
  Bytes out;
  out.reserve(64);
  encode(message, out);
  return out;
}

void WireCodec::encode(const Message& message, Bytes& into) {
  const std::size_t start = beginFrame(into, message.type());
  message.visit([&](const auto& m) { body(m, into); });
  finishFrame(into, start);
}

Bytes WireCodec::encodeVideoFrame(const VideoFrame& frame) {
  const std::size_t sets = std::min(frame.parameterSets.size(), u8Cap);
  std::size_t size = 4 + 48 + 4 + frame.payload.size();
  for (std::size_t i = 0; i < sets; ++i) size += 4 + frame.parameterSets[i].size();
  Bytes out;
  out.reserve(size);
  const std::size_t start = beginFrame(out, videoFrameType);
  writeU32(frame.displayID, out);
  writeU64(frame.frameNumber, out);
  writeU64(frame.captureTimeNs, out);
  writeBool(frame.isKeyframe, out);
  writeEnum(frame.profile, out);
  writeU32(frame.width, out);
  writeU32(frame.height, out);
  writeRect(frame.sourceRect, out);
  writeU8(static_cast<std::uint8_t>(sets), out);
  for (std::size_t i = 0; i < sets; ++i) writeData(frame.parameterSets[i], out);
  writeData(frame.payload, out);
  finishFrame(out, start);
  return out;
}

Bytes WireCodec::encodeAudioPacket(const AudioPacket& packet) {
  Bytes out;
  out.reserve(4 + 13 + packet.data.size());
  const std::size_t start = beginFrame(out, audioPacketType);
  writeU64(packet.ptsMicros, out);
  writeData(packet.data, out);
  finishFrame(out, start);
  return out;
}

Message WireCodec::decodeBody(std::uint8_t type, WireReader& from) {
  const BodyDecoder decoder = bodyDecoders[type];
  if (decoder == nullptr) throw WireError::unknownType(type);
  return decoder(from);
}

VideoFrame WireCodec::decodeVideoFrame(WireReader& r) {
  VideoFrame f;
  f.displayID = r.readU32();
  f.frameNumber = r.readU64();
  f.captureTimeNs = r.readU64();
  f.isKeyframe = r.readBool();
  f.profile = r.readCodecProfile();
  f.width = r.readU32();
  f.height = r.readU32();
  f.sourceRect = r.readRect();
  const std::uint8_t sets = r.readU8();
  f.parameterSets.reserve(sets);
  for (std::uint8_t i = 0; i < sets; ++i) f.parameterSets.push_back(r.readData());
  f.payload = r.readData();
  return f;
}

AudioPacket WireCodec::decodeAudioPacket(WireReader& r) {
  AudioPacket p;
  p.ptsMicros = r.readU64();
  p.data = r.readData();
  return p;
}

void WireCodec::writeU16(std::uint16_t value, Bytes& into) {
  into.push_back(static_cast<std::uint8_t>(value >> 8));
  into.push_back(static_cast<std::uint8_t>(value));
}

void WireCodec::writeU32(std::uint32_t value, Bytes& into) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  into.insert(into.end(), bytes, bytes + 4);
}

void WireCodec::writeU64(std::uint64_t value, Bytes& into) {
  writeU32(static_cast<std::uint32_t>(value >> 32), into);
  writeU32(static_cast<std::uint32_t>(value), into);
}

void WireCodec::writeInt32(std::int32_t value, Bytes& into) { writeU32(static_cast<std::uint32_t>(value), into); }

void WireCodec::writeFloat(float value, Bytes& into) { writeU32(std::bit_cast<std::uint32_t>(value), into); }

std::size_t WireCodec::clampedStringLength(std::string_view value) {
  if (value.size() <= u16Cap) return value.size();
  std::size_t cut = u16Cap;
  while (cut > 0 && (static_cast<std::uint8_t>(value[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

void WireCodec::writeString(std::string_view value, Bytes& into) {
  const std::size_t n = clampedStringLength(value);
  writeU16(static_cast<std::uint16_t>(n), into);
  into.insert(into.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
}

void WireCodec::writeData(ByteView value, Bytes& into) {
  const std::size_t n = std::min<std::size_t>(value.size(), 0xFFFFFFFFu);
  writeU32(static_cast<std::uint32_t>(n), into);
  into.insert(into.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
}

void WireCodec::writeUUID(const UUID& value, Bytes& into) {
  into.insert(into.end(), value.bytes.begin(), value.bytes.end());
}

void WireCodec::writeRect(const NormalizedRect& value, Bytes& into) {
  writeFloat(value.x, into);
  writeFloat(value.y, into);
  writeFloat(value.width, into);
  writeFloat(value.height, into);
}

void WireCodec::writeRect(const DisplayFrame& value, Bytes& into) {
  writeRect(NormalizedRect{value.x, value.y, value.width, value.height}, into);
}

void WireCodec::writeMenuNodes(std::span<const MenuNode> nodes, int depth, int& budget, Bytes& into) {
  writeMenuTree(nodes, depth, budget, 0, into);
}

}  // namespace brindlet
