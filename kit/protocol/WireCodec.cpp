#include "kit/protocol/WireCodec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace brindlet {

namespace {

constexpr std::size_t u8Cap = 0xFF;
constexpr std::size_t u16Cap = 0xFFFF;

using W = WireCodec;

// Starts a frame at the end of `out`: room for the length, then the type byte. Returns where
// the frame starts.
std::size_t beginFrame(Bytes& out, std::uint8_t type) {
  const std::size_t start = out.size();
  const std::uint8_t head[5] = {0, 0, 0, 0, type};
  out.insert(out.end(), head, head + 5);
  return start;
}

// Refuses a payload no reader accepts: frameTooLarge with its length.
[[noreturn, gnu::cold, gnu::noinline]] void refuseFrame(std::uint64_t payloadLength) {
  throw WireError::frameTooLarge(static_cast<std::int64_t>(payloadLength));
}

void checkFrameSize(std::uint64_t payloadLength) {
  if (payloadLength > W::maxFrameSize) [[unlikely]]
    refuseFrame(payloadLength);
}

// The bytes writeData sends for a blob of n bytes.
std::uint64_t dataFieldSize(std::size_t n) { return 4 + std::min<std::uint64_t>(n, 0xFFFFFFFFu); }

// Writes the payload length into the room beginFrame left. A payload over the largest frame
// is taken off `out` again, which is left as it was before beginFrame, and refused.
void finishFrame(Bytes& out, std::size_t start) {
  const std::uint64_t n = out.size() - start - 4;
  if (n > W::maxFrameSize) [[unlikely]] {
    out.resize(start);
    refuseFrame(n);
  }
  const auto length = static_cast<std::uint32_t>(n);
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

// How a list travels: a count of one or two bytes, then its elements.
struct ListCount {
  bool wide;        // a u16 count, else a u8
  std::size_t cap;  // the most elements the writer sends; it leaves out the rest
  // When set, the reader refuses a count above `cap` with this text and the count.
  const char* refusal = nullptr;
};
constexpr ListCount u8List{false, u8Cap};
constexpr ListCount u16List{true, u16Cap};

// `M` is the record T, const when it is being written.
template <class M, class T>
concept Is = std::same_as<std::remove_const_t<M>, T>;

// The field lists. Each names the fields of one message or record in wire order, handed to a
// visitor that either writes them (FieldWriter, M const) or reads them (FieldReader):
//   v(field)           a number, bool, text, blob, UUID, rectangle, optional or record
//   v(field, "name ")  an enumeration byte; the reader refuses other bytes as "name N"
//   v.orNone(field)    an enumeration byte that reads as none when unknown
//   v(list, count)     a list with its count (see ListCount)
//   v.menus(tree)      a menu tree on the shared node budget
// Bodies that are not one fixed sequence of fields (the stream mode) have a writer and a
// reader of their own below.

template <class V>
void fields(V& v, Is<ClientCapabilities> auto& c) {
  v(c.decodableProfiles, u8List);
  v(c.screenPixelWidth);
  v(c.screenPixelHeight);
  v(c.scale);
  v(c.deviceModel);
  v(c.supportsFolio);
}
template <class V>
void fields(V& v, Is<DisplayInfo> auto& d) {
  v(d.id);
  v(d.name);
  v(d.isMain);
  v(d.pixelWidth);
  v(d.pixelHeight);
  v(d.frame);
}
template <class V>
void fields(V& v, Is<::brindlet::Viewport> auto& p) {
  v(p.displayID);
  v(p.sourceRect);
  v(p.outputWidth);
  v(p.outputHeight);
}
template <class V>
void fields(V& v, Is<::brindlet::Feedback> auto& f) {
  v(f.framesReceived);
  v(f.framesDropped);
  v(f.jitterMs);
  v(f.requestKeyframe);
}
template <class V>
void fields(V& v, Is<KeyEvent> auto& e) {
  v(e.usage.rawValue);
  v(e.isDown);
  v(e.modifiers.rawValue);
}
template <class V>
void fields(V& v, Is<PointerEvent::MoveRelative> auto& e) {
  v(e.dx);
  v(e.dy);
}
template <class V>
void fields(V& v, Is<PointerEvent::MoveAbsolute> auto& e) {
  v(e.displayID);
  v(e.x);
  v(e.y);
}
template <class V>
void fields(V& v, Is<PointerEvent::Button> auto& e) {
  v(e.button, "button ");
  v(e.isDown);
  v(e.clickCount);
}
template <class V>
void fields(V& v, Is<PointerEvent::Scroll> auto& e) {
  v(e.dx);
  v(e.dy);
  v(e.phase, "scroll phase ");
}
template <class V>
void fields(V& v, Is<WindowInfo> auto& w) {
  v(w.id);
  v(w.title);
  v(w.frame);
  v(w.displayID);
  v(w.isOnScreen);
  v(w.isMinimized);
}
template <class V>
void fields(V& v, Is<AppInfo> auto& a) {
  v(a.pid);
  v(a.bundleID);
  v(a.name);
  v(a.icon);
  v(a.isFrontmost);
  v(a.windows, u16List);
}
template <class V>
void fields(V& v, Is<RelayEndpoint> auto& e) {
  v(e.host);
  v(e.port);
}
template <class V>
void fields(V& v, Is<InstalledApp> auto& a) {
  v(a.bundleID);
  v(a.name);
  v(a.iconHash);
}
template <class V>
void fields(V& v, Is<::brindlet::LaunchStatus> auto& s) {
  v(s.bundleID);
  v(s.state, "launch state ");
  v(s.elapsedMs);
  v(s.detail);
}
template <class V>
void fields(V& v, Is<FileMeta> auto& f) {
  v(f.name);
  v(f.typeID);
  v(f.size);
}
// A video frame's fields before its payload, which is its last field.
template <class V>
void headFields(V& v, Is<VideoFrame> auto& f) {
  v(f.displayID);
  v(f.frameNumber);
  v(f.captureTimeNs);
  v(f.isKeyframe);
  v(f.profile);
  v(f.width);
  v(f.height);
  v(f.sourceRect);
  v(f.parameterSets, u8List);
}
template <class V>
void fields(V& v, Is<VideoFrame> auto& f) {
  headFields(v, f);
  v(f.payload);
}
template <class V>
void fields(V& v, Is<AudioPacket> auto& p) {
  v(p.ptsMicros);
  v(p.data);
}

// Message bodies.

template <class V>
void fields(V& v, Is<msg::Hello> auto& m) {
  v(m.version);
  v(m.deviceID);
  v(m.deviceName);
  v(m.capabilities);
}
template <class V>
void fields(V& v, Is<msg::HelloAck> auto& m) {
  v(m.version);
  v(m.hostID);
  v(m.hostName);
  v(m.profile);
}
template <class V>
void fields(V& v, Is<msg::HelloReject> auto& m) {
  v(m.reason);
}
template <class V>
void fields(V& v, Is<msg::DisplayList> auto& m) {
  v(m.displays, u16List);
}
template <class V>
void fields(V& v, Is<msg::SelectDisplay> auto& m) {
  v(m.displayID);
}
template <class V>
void fields(V& v, Is<msg::Viewport> auto& m) {
  v(m.viewport);
}
template <class V>
void fields(V& v, Is<msg::SetThumbnails> auto& m) {
  v(m.enabled);
}
template <class V>
void fields(V& v, Is<msg::Thumbnail> auto& m) {
  v(m.displayID);
  v(m.jpeg);
}
template <class V>
void fields(V& v, Is<msg::Feedback> auto& m) {
  v(m.feedback);
}
template <class V>
void fields(V& v, Is<msg::ClipboardText> auto& m) {
  v(m.text);
}
template <class V>
void fields(V& v, Is<msg::Key> auto& m) {
  v(m.event);
}
template <class V>
void fields(V& v, Is<msg::Pointer> auto& m) {
  v(m.seq);
  // A kind byte, the index of the case, then the case's fields.
  v(m.event.value, "pointer kind ");
}
template <class V>
void fields(V& v, Is<msg::Ping> auto& m) {
  v(m.value);
}
template <class V>
void fields(V& v, Is<msg::Pong> auto& m) {
  v(m.value);
}
template <class V>
void fields(V& v, Is<msg::StreamInfo> auto& m) {
  v(m.displayID);
  v(m.sourceRect);
  v(m.width);
  v(m.height);
  v(m.profile);
}
template <class V>
void fields(V& v, Is<msg::CursorState> auto& m) {
  v(m.seq);
  v(m.displayID);
  v(m.x);
  v(m.y);
  v(m.visible);
  v(m.shapeID);
}
template <class V>
void fields(V& v, Is<msg::AuthChallenge> auto& m) {
  v(m.nonce);
}
template <class V>
void fields(V& v, Is<msg::AuthResponse> auto& m) {
  v(m.deviceID);
  v(m.publicKey);
  v(m.signature);
}
template <class V>
void fields(V& v, Is<msg::AuthResult> auto& m) {
  v(m.result, "auth result ");
}
template <class V>
void fields(V& v, Is<msg::PairRequest> auto& m) {
  v(m.method, "pair method ");
  v(m.deviceName);
  v(m.proof);
}
template <class V>
void fields(V& v, Is<msg::PairNonce> auto& m) {
  v(m.nonce);
}
template <class V>
void fields(V& v, Is<msg::PairReveal> auto& m) {
  v(m.nonce);
}
template <class V>
void fields(V& v, Is<msg::PairResult> auto& m) {
  v(m.result, "pair result ");
}
template <class V>
void fields(V& v, Is<msg::HostStatus> auto& m) {
  v(m.state, "host state ");
  v(m.detail);
}
template <class V>
void fields(V& v, Is<msg::AppList> auto& m) {
  v(m.apps, u16List);
}
template <class V>
void fields(V& v, Is<msg::SetAppListUpdates> auto& m) {
  v(m.enabled);
}
template <class V>
void fields(V& v, Is<msg::ActivateApp> auto& m) {
  v(m.pid);
  v(m.windowID);
  v(m.moveCursor);
}
template <class V>
void fields(V& v, Is<msg::Focus> auto& m) {
  v(m.pid);
  v(m.windowID);
  v(m.fit);
  v(m.moveCursor);
}
template <class V>
void fields(V& v, Is<msg::WindowThumbnails> auto& m) {
  v(m.enabled);
  v(m.windowIDs, u16List);
}
template <class V>
void fields(V& v, Is<msg::WindowThumbnail> auto& m) {
  v(m.windowID);
  v(m.jpeg);
}
template <class V>
void fields(V& v, Is<msg::CursorShape> auto& m) {
  v(m.shapeID);
  v(m.png);
  v(m.hotspotX);
  v(m.hotspotY);
  v(m.pointSize);
}
template <class V>
void fields(V& v, Is<msg::RequestCursorShape> auto& m) {
  v(m.shapeID);
}
template <class V>
void fields(V& v, Is<msg::SetVideoEnabled> auto& m) {
  v(m.enabled);
}
template <class V>
void fields(V& v, Is<msg::Text> auto& m) {
  v(m.text);
}
template <class V>
void fields(V& v, Is<msg::SetAudio> auto& m) {
  v(m.mode, "audio mode ");
}
template <class V>
void fields(V& v, Is<msg::AudioConfig> auto& m) {
  v(m.sampleRate);
  v(m.channels);
  v(m.codec, "audio codec ");
  v(m.magicCookie);
}
template <class V>
void fields(V& v, Is<msg::AudioStatus> auto& m) {
  v(m.status, "audio status ");
  v(m.detail);
}
template <class V>
void fields(V& v, Is<msg::RelayConfig> auto& m) {
  v(m.relays, u8List);
  v(m.grant);
}
// Cases with no body: the type byte is the whole message.
template <class V, class M>
requires Is<M, msg::Unfocus> || Is<M, msg::FocusBack> || Is<M, msg::RequestInstalledApps>
void fields(V&, M&) {}
template <class V>
void fields(V& v, Is<msg::InstalledApps> auto& m) {
  v(m.apps, u16List);
}
template <class V>
void fields(V& v, Is<msg::RequestAppIcons> auto& m) {
  v(m.bundleIDs, ListCount{false, msg::RequestAppIcons::maxCount, "icon request "});
}
template <class V>
void fields(V& v, Is<msg::AppIcon> auto& m) {
  v(m.bundleID);
  v(m.png);
}
template <class V>
void fields(V& v, Is<msg::LaunchApp> auto& m) {
  v(m.bundleID);
  v(m.focus);
}
template <class V>
void fields(V& v, Is<msg::LaunchStatus> auto& m) {
  v(m.status);
}
template <class V>
void fields(V& v, Is<msg::LaunchControl> auto& m) {
  v(m.bundleID);
  v(m.action, "launch action ");
}
template <class V>
void fields(V& v, Is<msg::QuitApp> auto& m) {
  v(m.pid);
}
template <class V>
void fields(V& v, Is<msg::RecentApps> auto& m) {
  v(m.pids, ListCount{true, msg::RecentApps::maxCount});
}
template <class V>
void fields(V& v, Is<msg::FileOffer> auto& m) {
  v(m.transferID);
  v(m.files, u16List);
  v(m.kind, "transfer kind ");
}
template <class V>
void fields(V& v, Is<msg::FileChunk> auto& m) {
  v(m.transferID);
  v(m.fileIndex);
  v(m.offset);
  v(m.data);
}
template <class V>
void fields(V& v, Is<msg::FileEnd> auto& m) {
  v(m.transferID);
}
template <class V>
void fields(V& v, Is<msg::FileCancel> auto& m) {
  v(m.transferID);
}
template <class V>
void fields(V& v, Is<msg::FileStatus> auto& m) {
  v(m.transferID);
  v(m.state, "transfer state ");
  v(m.bytes);
  v(m.detail);
}
template <class V>
void fields(V& v, Is<msg::WatchActions> auto& m) {
  v(m.enabled);
}
template <class V>
void fields(V& v, Is<msg::AppActions> auto& m) {
  v(m.bundleID);
  v(m.appName);
  v(m.generation);
  v.menus(m.menus);
}
template <class V>
void fields(V& v, Is<msg::PerformAction> auto& m) {
  v(m.generation);
  v(m.path, ListCount{false, msg::PerformAction::maxCount});
}
template <class V>
void fields(V& v, Is<msg::ActionResult> auto& m) {
  v(m.ok);
  v(m.detail);
}
template <class V>
void fields(V& v, Is<msg::TextFocus> auto& m) {
  v(m.isText);
  v(m.bundleID);
  v.orNone(m.kind);
  v(m.byClick);
}
template <class V>
void fields(V& v, Is<msg::SessionReplaced> auto& m) {
  v(m.byDeviceName);
}

// True for the types that have a field list.
template <class V, class T>
concept HasFields = requires(V& v, T& record) {
  fields(v, record);
};

// Writes the fields it is shown to the end of `out`. Over-long texts, blobs and lists are
// clamped (see the field writers of WireCodec).
class FieldWriter {
 public:
  explicit FieldWriter(Bytes& out) : out_(out) {}

  void operator()(std::uint8_t value) { W::writeU8(value, out_); }
  void operator()(std::uint16_t value) { W::writeU16(value, out_); }
  void operator()(std::uint32_t value) { W::writeU32(value, out_); }
  void operator()(std::uint64_t value) { W::writeU64(value, out_); }
  void operator()(std::int32_t value) { W::writeInt32(value, out_); }
  void operator()(float value) { W::writeFloat(value, out_); }
  void operator()(bool value) { W::writeBool(value, out_); }
  void operator()(const std::string& value) { W::writeString(value, out_); }
  void operator()(const Bytes& value) { W::writeData(value, out_); }
  void operator()(const UUID& value) { W::writeUUID(value, out_); }
  void operator()(const NormalizedRect& value) { W::writeRect(value, out_); }
  void operator()(const DisplayFrame& value) { W::writeRect(value, out_); }
  void operator()(CodecProfile value) { writeEnum(value, out_); }

  template <class E>
  requires std::is_enum_v<E>
  void operator()(E value, const char*) { writeEnum(value, out_); }
  template <class E>
  void orNone(E value) {
    writeEnum(value, out_);
  }

  // A presence flag, then the value when present.
  template <class T>
  void operator()(const std::optional<T>& value) {
    (*this)(value.has_value());
    if (value) (*this)(*value);
  }

  template <class T>
  void operator()(const std::vector<T>& items, ListCount count) {
    const std::size_t n = writeCount(items.size(), count.cap, count.wide, out_);
    for (std::size_t i = 0; i < n; ++i) (*this)(items[i]);
  }

  // The index of the case, then its fields.
  template <class... Cases>
  void operator()(const std::variant<Cases...>& value, const char*) {
    W::writeU8(static_cast<std::uint8_t>(value.index()), out_);
    writeCase<0>(value);
  }

  void menus(const std::vector<MenuNode>& nodes) {
    int budget = MenuNode::maxNodes;
    W::writeMenuNodes(nodes, 1, budget, out_);
  }

  template <class T>
  requires HasFields<FieldWriter, const T>
  void operator()(const T& record) { fields(*this, record); }

 private:
  template <std::size_t I, class... Cases>
  void writeCase(const std::variant<Cases...>& value) {
    if constexpr (I < sizeof...(Cases)) {
      if (const auto* body = std::get_if<I>(&value)) return fields(*this, *body);
      writeCase<I + 1>(value);
    }
  }

  Bytes& out_;
};

// Reads the fields it is shown, in order, from a payload.
class FieldReader {
 public:
  explicit FieldReader(WireReader& from) : r_(from) {}

  void operator()(std::uint8_t& value) { value = r_.readU8(); }
  void operator()(std::uint16_t& value) { value = r_.readU16(); }
  void operator()(std::uint32_t& value) { value = r_.readU32(); }
  void operator()(std::uint64_t& value) { value = r_.readU64(); }
  void operator()(std::int32_t& value) { value = r_.readInt32(); }
  void operator()(float& value) { value = r_.readFloat(); }
  void operator()(bool& value) { value = r_.readBool(); }
  void operator()(std::string& value) { value = r_.readString(); }
  void operator()(Bytes& value) { value = r_.readData(); }
  void operator()(UUID& value) { value = r_.readUUID(); }
  void operator()(NormalizedRect& value) { value = r_.readRect(); }
  void operator()(DisplayFrame& value) { value = r_.readDisplayFrame(); }
  void operator()(CodecProfile& value) { value = r_.readCodecProfile(); }

  template <class E>
  requires std::is_enum_v<E>
  void operator()(E& value, const char* name) { value = r_.readEnum<E>(name); }
  template <class E>
  void orNone(E& value) {
    value = fromRaw<E>(r_.readU8()).value_or(E::none);
  }

  template <class T>
  void operator()(std::optional<T>& value) {
    if (!r_.readBool()) {
      value.reset();
      return;
    }
    T present{};
    (*this)(present);
    value = std::move(present);
  }

  template <class T>
  void operator()(std::vector<T>& items, ListCount count) {
    const std::size_t n = count.wide ? r_.readU16() : r_.readU8();
    if (count.refusal && n > count.cap) throw WireError::invalidValue(count.refusal + std::to_string(n));
    items.clear();
    // A hostile count must not reserve more than the bytes that could back it.
    items.reserve(std::min(n, r_.remaining()));
    for (std::size_t i = 0; i < n; ++i) {
      T item{};
      (*this)(item);
      items.push_back(std::move(item));
    }
  }

  template <class... Cases>
  void operator()(std::variant<Cases...>& value, const char* name) {
    const std::uint8_t kind = r_.readU8();
    if (kind >= sizeof...(Cases)) throw WireError::invalidValue(name + std::to_string(kind));
    readCase<0>(value, kind);
  }

  void menus(std::vector<MenuNode>& nodes) {
    int budget = MenuNode::maxNodes;
    nodes = r_.readMenuNodes(1, budget);
  }

  template <class T>
  requires HasFields<FieldReader, T>
  void operator()(T& record) { fields(*this, record); }

  WireReader& reader() { return r_; }

 private:
  template <std::size_t I, class... Cases>
  void readCase(std::variant<Cases...>& value, std::size_t kind) {
    if constexpr (I < sizeof...(Cases)) {
      if (kind != I) return readCase<I + 1>(value, kind);
      fields(*this, value.template emplace<I>());
    }
  }

  WireReader& r_;
};

// The stream mode: its mode byte is not the index of its case, and the follow information may
// be left out at the end of the body.
void fields(FieldWriter& v, const msg::StreamMode& m) {
  const StreamModeInfo& info = m.info;
  if (const StreamMode::Focus* f = info.mode.focused()) {
    v(std::uint8_t{1});
    v(f->pid);
    v(f->windowID);
  } else {
    v(std::uint8_t{0});
  }
  v(info.fitApplied);
  v(info.notice);
  v(info.surface);
  if (info.follow) {
    v(info.follow->kind, "follow kind ");
    v(info.follow->appName);
    v(info.follow->title);
    v(info.follow->canGoBack);
  } else {
    v(std::uint8_t{0});
  }
}
void fields(FieldReader& v, msg::StreamMode& m) {
  WireReader& r = v.reader();
  StreamModeInfo& info = m.info;
  const std::uint8_t mode = r.readU8();
  if (mode == 0) {
    info.mode = StreamMode::desktop();
  } else if (mode == 1) {
    StreamMode::Focus focus;
    v(focus.pid);
    v(focus.windowID);
    info.mode = focus;
  } else {
    throw WireError::invalidValue("stream mode " + std::to_string(mode));
  }
  v(info.fitApplied);
  v(info.notice);
  v(info.surface);
  // A body that ends after the surface carries no follow information.
  if (r.isAtEnd()) return;
  const std::uint8_t follow = r.readU8();
  if (follow == 0) return;
  const auto kind = fromRaw<FocusFollowInfo::Kind>(follow);
  if (!kind) throw WireError::invalidValue("follow kind " + std::to_string(follow));
  FocusFollowInfo f;
  f.kind = *kind;
  v(f.appName);
  v(f.title);
  v(f.canGoBack);
  info.follow = std::move(f);
}

// A message body or media record read through its field list.
template <class T>
T readFields(WireReader& r) {
  T value;
  FieldReader reader(r);
  fields(reader, value);
  return value;
}

// Decoders indexed by type byte, built from the cases of Message.
using BodyDecoder = Message (*)(WireReader&);

template <class T>
Message decodeAs(WireReader& r) {
  return Message(readFields<T>(r));
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
  checkFrameSize(payload.size());
  Bytes out;
  out.reserve(4 + payload.size());
  writeU32(static_cast<std::uint32_t>(payload.size()), out);
  out.insert(out.end(), payload.begin(), payload.end());
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
  message.visit([&](const auto& m) {
    FieldWriter writer(into);
    fields(writer, m);
  });
  finishFrame(into, start);
}

Bytes WireCodec::encodeVideoFrame(const VideoFrame& frame) {
  // Measured first, so a frame too large to send is refused before its copy is made.
  const std::size_t sets = std::min(frame.parameterSets.size(), u8Cap);
  std::uint64_t payloadLength = 48 + dataFieldSize(frame.payload.size());
  for (std::size_t i = 0; i < sets; ++i) payloadLength += dataFieldSize(frame.parameterSets[i].size());
  checkFrameSize(payloadLength);
  Bytes out;
  out.reserve(4 + payloadLength);
  const std::size_t start = beginFrame(out, videoFrameType);
  FieldWriter writer(out);
  fields(writer, frame);
  finishFrame(out, start);
  return out;
}

Bytes WireCodec::encodeAudioPacket(const AudioPacket& packet) {
  const std::uint64_t payloadLength = 9 + dataFieldSize(packet.data.size());
  checkFrameSize(payloadLength);
  Bytes out;
  out.reserve(4 + payloadLength);
  const std::size_t start = beginFrame(out, audioPacketType);
  FieldWriter writer(out);
  fields(writer, packet);
  finishFrame(out, start);
  return out;
}

Message WireCodec::decodeBody(std::uint8_t type, WireReader& from) {
  const BodyDecoder decoder = bodyDecoders[type];
  if (decoder == nullptr) throw WireError::unknownType(type);
  return decoder(from);
}

VideoFrame WireCodec::decodeVideoFrame(WireReader& r) { return readFields<VideoFrame>(r); }

VideoFrame WireCodec::decodeVideoFrameHead(WireReader& r, std::uint32_t& payloadLength) {
  VideoFrame frame;
  FieldReader reader(r);
  headFields(reader, frame);
  payloadLength = r.readU32();
  return frame;
}

AudioPacket WireCodec::decodeAudioPacket(WireReader& r) { return readFields<AudioPacket>(r); }

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
