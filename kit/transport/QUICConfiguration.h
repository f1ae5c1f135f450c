#pragma once

// What a QUIC connection agrees with its peer before the first stream opens: its limits, the
// transport parameters and application protocol, the host's TLS identity, the device's pin
// of the host certificate, and the TLS exporter that binds authentication to the session.
//
//   auto box = std::make_shared<FingerprintBox>(ServerTrust::pinned(fingerprint));
//   auto parameters = makeQUICParameters(std::nullopt, box, QUICConfiguration{}, executor);
//   ... after the handshake: box->value() is the SHA-256 of the host's certificate

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "platform/quic/QUICGroup.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet {

struct QUICConfiguration {
  std::int64_t maxVideoFramesInFlight = 3;
  std::int64_t maxVideoBytesInFlight = 2'097'152;
  std::chrono::nanoseconds idleTimeout = std::chrono::seconds(30);
  std::chrono::nanoseconds handshakeTimeout = std::chrono::seconds(10);
  std::int64_t maxBufferedIncomingVideoFrames = 8;
  std::int64_t maxAudioPacketsInFlight = 20;
  std::int64_t maxTransferBytesInFlight = 262'144;
  std::int64_t maxBufferedIncomingAudioPackets = 200;
  std::optional<std::int64_t> maxUDPPayloadSize;
};

// The audio byte budget is not configurable.
inline constexpr std::int64_t maxAudioBytesInFlight = 65'536;
inline constexpr const char* quicApplicationProtocol = "nolu/1";
inline constexpr const char* tlsExporterLabel = "EXPORTER-brindlet-auth";

// What a device expects of the host's certificate.
struct ServerTrust {
  // The SHA-256 of the certificate's DER encoding; absent: any certificate is accepted.
  std::optional<Bytes> fingerprint;

  static ServerTrust pinned(Bytes fingerprint) { return ServerTrust{std::move(fingerprint)}; }
  static ServerTrust unpinned() { return ServerTrust{}; }
};

// Shared between the TLS verify step and a device-side connection.
class FingerprintBox {
 public:
  explicit FingerprintBox(std::optional<Bytes> expected) : expected_(std::move(expected)) {}
  explicit FingerprintBox(const ServerTrust& trust) : expected_(trust.fingerprint) {}

  // The TLS certificate check: records the leaf's fingerprint, then accepts when nothing is
  // pinned or the pin matches; a peer without certificate is always rejected.
  void verify(const platform::QUICPeerTrust& trust, const platform::QUICVerifyCompletion& complete);

  std::optional<Bytes> value() const;
  bool mismatch() const;
  const std::optional<Bytes>& expected() const { return expected_; }

 private:
  mutable std::mutex lock_;
  std::optional<Bytes> value_;
  bool mismatch_ = false;
  const std::optional<Bytes> expected_;
};

// The parameters of a QUIC connection: the host's listener passes its identity and no box,
// a device-side connection no identity and its box. The verify step runs on a strand of
// `executor` made for these parameters.
platform::QUICParameters makeQUICParameters(const std::optional<platform::QUICIdentity>& identity,
                                            std::shared_ptr<FingerprintBox> box, const QUICConfiguration& configuration,
                                            const Executor& executor);

class SelfSignedIdentity;
// The same with the host's identity (its certificate and key become the local TLS identity).
platform::QUICParameters makeQUICParameters(const std::shared_ptr<SelfSignedIdentity>& identity,
                                            std::shared_ptr<FingerprintBox> box, const QUICConfiguration& configuration,
                                            const Executor& executor);

// The exporter of an established group: 32 bytes, or nothing. Call on the group's executor.
std::optional<Bytes> tlsExporter(platform::QUICGroup& group);

// SHA-256 of `bytes`.
Bytes certificateFingerprint(ByteView der);

}  // namespace brindlet
