#include "kit/relay/RelayWire.h"

namespace brindlet {
namespace {

void append(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

Bytes labelled(std::string_view label, std::size_t fields) {
  Bytes out;
  out.reserve(label.size() + 1 + fields);
  out.insert(out.end(), label.begin(), label.end());
  out.push_back(0);
  return out;
}

}  // namespace

std::optional<RelayPacketType> relayPacketType(std::uint8_t raw) {
  if (raw < 3 || raw > 16) return std::nullopt;
  return static_cast<RelayPacketType>(raw);
}

std::optional<RelayErrorCode> relayErrorCode(std::uint8_t raw) {
  if (raw < 1 || raw > 11) return std::nullopt;
  return static_cast<RelayErrorCode>(raw);
}

std::optional<RelayErrorCode> RelayFrame::errorCode() const {
  if (type != RelayPacketType::error || payload.empty()) return std::nullopt;
  return relayErrorCode(payload[0]);
}

RelayFrameError::RelayFrameError(Case kind, std::uint8_t type, const std::string& what)
    : std::runtime_error(what), kind_(kind), type_(type) {}

RelayFrameError RelayFrameError::unknownType(std::uint8_t type) {
  return RelayFrameError(Case::unknownType, type, "unknown relay packet type " + std::to_string(type));
}
RelayFrameError RelayFrameError::truncated() { return RelayFrameError(Case::truncated, 0, "truncated relay frame"); }
RelayFrameError RelayFrameError::tooLarge() { return RelayFrameError(Case::tooLarge, 0, "relay frame too large"); }

namespace RelayWire {

void appendUInt32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendUInt64(Bytes& out, std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t readUInt32(ByteView bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | bytes[offset + i];
  return value;
}

std::uint64_t readUInt64(ByteView bytes, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | bytes[offset + i];
  return value;
}

Bytes encodeFrame(const RelayFrame& frame) {
  if (headerSize + frame.payload.size() > maxFrameSize) throw RelayFrameError::tooLarge();
  Bytes out;
  out.reserve(headerSize + frame.payload.size());
  out.push_back(static_cast<std::uint8_t>(frame.type));
  appendUInt32(out, frame.session);
  appendUInt32(out, frame.peer);
  append(out, frame.payload);
  return out;
}

std::array<std::uint8_t, headerSize> encodeHeader(RelayPacketType type, std::uint32_t session, std::uint32_t peer) {
  std::array<std::uint8_t, headerSize> header{};
  header[0] = static_cast<std::uint8_t>(type);
  for (int i = 0; i < 4; ++i) {
    header[1 + i] = static_cast<std::uint8_t>(session >> (24 - 8 * i));
    header[5 + i] = static_cast<std::uint8_t>(peer >> (24 - 8 * i));
  }
  return header;
}

RelayFrame decodeFrame(ByteView datagram) {
  if (datagram.size() > maxFrameSize) throw RelayFrameError::tooLarge();
  if (datagram.size() < headerSize) throw RelayFrameError::truncated();
  auto type = relayPacketType(datagram[0]);
  if (!type) throw RelayFrameError::unknownType(datagram[0]);
  RelayFrame frame;
  frame.type = *type;
  frame.session = readUInt32(datagram, 1);
  frame.peer = readUInt32(datagram, 5);
  frame.payload.assign(datagram.begin() + headerSize, datagram.end());
  return frame;
}

Bytes challengeRequestPayload(RelayPurpose purpose) {
  Bytes out(challengeSize, 0);
  out[0] = static_cast<std::uint8_t>(purpose);
  return out;
}

Bytes challengePayload(RelayPurpose purpose, ByteView cookie) {
  Bytes out{static_cast<std::uint8_t>(purpose)};
  append(out, cookie);
  return out;
}

Bytes registerPayload(ByteView publicKey, ByteView cookie, ByteView credential, ByteView signature) {
  Bytes out;
  out.reserve(publicKey.size() + cookie.size() + 2 + credential.size() + signature.size());
  append(out, publicKey);
  append(out, cookie);
  std::size_t length = credential.size() > 65535 ? 65535 : credential.size();
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length));
  append(out, credential);
  append(out, signature);
  return out;
}

Bytes joinPayload(ByteView cookie, ByteView grant, ByteView signature) {
  Bytes out;
  out.reserve(cookie.size() + grant.size() + signature.size());
  append(out, cookie);
  append(out, grant);
  append(out, signature);
  return out;
}

Bytes rebindPayload(ByteView cookie, ByteView signature) {
  Bytes out;
  append(out, cookie);
  append(out, signature);
  return out;
}

Bytes registerMessage(ByteView cookie, ByteView credential, ByteView publicKey) {
  Bytes out = labelled("brindlet-relay-register-v2", cookie.size() + credential.size() + publicKey.size());
  append(out, cookie);
  append(out, credential);
  append(out, publicKey);
  return out;
}

Bytes joinMessage(ByteView cookie, ByteView grant) {
  Bytes out = labelled("brindlet-relay-join-v2", cookie.size() + grant.size());
  append(out, cookie);
  append(out, grant);
  return out;
}

Bytes rebindMessage(ByteView cookie, std::uint32_t session, std::uint32_t peer) {
  Bytes out = labelled("brindlet-relay-rebind-v2", cookie.size() + 8);
  append(out, cookie);
  appendUInt32(out, session);
  appendUInt32(out, peer);
  return out;
}

Bytes grantMessage(ByteView grantBody) {
  Bytes out = labelled("brindlet-relay-grant-v1", grantBody.size());
  append(out, grantBody);
  return out;
}

Bytes coordinatorMessage(std::uint64_t timestamp, ByteView publicKey) {
  Bytes out = labelled("brindlet-coordinator-v3", 8 + publicKey.size());
  appendUInt64(out, timestamp);
  append(out, publicKey);
  return out;
}

Bytes enrollMessage(std::uint64_t timestamp, ByteView publicKey, std::string_view inviteCode) {
  Bytes out = labelled("brindlet-enroll-v1", 8 + publicKey.size() + inviteCode.size());
  appendUInt64(out, timestamp);
  append(out, publicKey);
  out.insert(out.end(), inviteCode.begin(), inviteCode.end());
  return out;
}

}  // namespace RelayWire
}  // namespace brindlet
