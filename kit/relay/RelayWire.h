#pragma once

// The relay's UDP frame and the messages that the host and devices sign for the relay and the
// coordinator. One datagram is one frame: a 9-byte header (type, session, peer; big-endian)
// and a payload of at most 1491 bytes.
//
//   Bytes datagram = RelayWire::encodeFrame({RelayPacketType::keepalive, session, 0, {0}});
//   RelayFrame frame = RelayWire::decodeFrame(datagram);          // throws RelayFrameError
//   Bytes signedPart = RelayWire::registerMessage(cookie, token, signer.publicKey());

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/Bytes.h"

namespace brindlet {

enum class RelayPacketType : std::uint8_t {
  data = 3,
  keepalive = 4,
  close = 5,
  error = 6,
  registered = 7,
  joined = 8,
  peerJoined = 9,
  challengeRequest = 10,
  challenge = 11,
  registerRequest = 12,  // "register" on the wire
  join = 13,
  rebind = 14,
  rebound = 15,
  deny = 16,
};

enum class RelayErrorCode : std::uint8_t {
  badToken = 1,
  unknownHost = 2,
  overQuota = 3,
  unknownSession = 4,
  malformed = 5,
  wrongRole = 6,
  expired = 7,
  badCookie = 8,
  badSignature = 9,
  denied = 10,
  addressNotOnRecord = 11,
};

// What a challenge is for; the tag byte is the value.
enum class RelayPurpose : std::uint8_t { registration = 1, join = 2, rebind = 3 };

std::optional<RelayPacketType> relayPacketType(std::uint8_t raw);
std::optional<RelayErrorCode> relayErrorCode(std::uint8_t raw);

struct RelayFrame {
  RelayPacketType type = RelayPacketType::data;
  std::uint32_t session = 0;
  std::uint32_t peer = 0;
  Bytes payload;

  // For an error frame with a payload, the code its first byte names (1 to 11); otherwise nothing.
  std::optional<RelayErrorCode> errorCode() const;

  bool operator==(const RelayFrame&) const = default;
};

class RelayFrameError : public std::runtime_error {
 public:
  enum class Case { unknownType, truncated, tooLarge };
  static RelayFrameError unknownType(std::uint8_t type);
  static RelayFrameError truncated();
  static RelayFrameError tooLarge();

  Case kind() const { return kind_; }
  std::uint8_t type() const { return type_; }

 private:
  RelayFrameError(Case kind, std::uint8_t type, const std::string& what);
  Case kind_;
  std::uint8_t type_;
};

namespace RelayWire {

inline constexpr std::size_t headerSize = 9;
inline constexpr std::size_t maxFrameSize = 1500;
inline constexpr std::size_t maxPayloadSize = maxFrameSize - headerSize;
inline constexpr std::size_t cookieSize = 16;
inline constexpr std::size_t signatureSize = 64;
inline constexpr std::size_t publicKeySize = 65;
inline constexpr std::size_t challengeSize = 17;

// Header and payload; throws tooLarge for a payload above 1491 bytes (never cuts it).
Bytes encodeFrame(const RelayFrame& frame);
// The header alone: type, session, peer.
std::array<std::uint8_t, headerSize> encodeHeader(RelayPacketType type, std::uint32_t session, std::uint32_t peer);
// Checks, in order: longer than 1500 (tooLarge), shorter than 9 (truncated), type byte.
RelayFrame decodeFrame(ByteView datagram);

// Payloads of the handshake frames.
Bytes challengeRequestPayload(RelayPurpose purpose);
Bytes challengePayload(RelayPurpose purpose, ByteView cookie);
Bytes registerPayload(ByteView publicKey, ByteView cookie, ByteView credential, ByteView signature);
Bytes joinPayload(ByteView cookie, ByteView grant, ByteView signature);
Bytes rebindPayload(ByteView cookie, ByteView signature);

// The signed messages: label, one 0x00, then the fields with no lengths.
Bytes registerMessage(ByteView cookie, ByteView credential, ByteView publicKey);
Bytes joinMessage(ByteView cookie, ByteView grant);
Bytes rebindMessage(ByteView cookie, std::uint32_t session, std::uint32_t peer);
Bytes grantMessage(ByteView grantBody);
Bytes coordinatorMessage(std::uint64_t timestamp, ByteView publicKey);
Bytes enrollMessage(std::uint64_t timestamp, ByteView publicKey, std::string_view inviteCode);

// Big-endian helpers shared by the relay's records.
void appendUInt32(Bytes& out, std::uint32_t value);
void appendUInt64(Bytes& out, std::uint64_t value);
std::uint32_t readUInt32(ByteView bytes, std::size_t offset);
std::uint64_t readUInt64(ByteView bytes, std::size_t offset);

}  // namespace RelayWire
}  // namespace brindlet
