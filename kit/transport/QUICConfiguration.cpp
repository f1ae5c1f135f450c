#include "kit/transport/QUICConfiguration.h"

#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/SelfSignedIdentity.h"
#include "platform/crypto/Digest.h"

namespace brindlet {

Bytes certificateFingerprint(ByteView der) { return platform::sha256(der); }

void FingerprintBox::verify(const platform::QUICPeerTrust& trust, const platform::QUICVerifyCompletion& complete) {
  if (!trust.certificateChain.empty()) {
    Bytes digest = certificateFingerprint(trust.certificateChain.front());
    std::lock_guard guard(lock_);
    value_ = std::move(digest);
  }
  std::optional<Bytes> seen = value();
  if (!seen) {
    complete(false);
    return;
  }
  if (!expected_) {
    complete(true);
    return;
  }
  if (AuthCrypto::constantTimeEqual(*seen, *expected_)) {
    complete(true);
    return;
  }
  {
    std::lock_guard guard(lock_);
    mismatch_ = true;
  }
  complete(false);
}

std::optional<Bytes> FingerprintBox::value() const {
  std::lock_guard guard(lock_);
  return value_;
}

bool FingerprintBox::mismatch() const {
  std::lock_guard guard(lock_);
  return mismatch_;
}

platform::QUICParameters makeQUICParameters(const std::optional<platform::QUICIdentity>& identity,
                                            std::shared_ptr<FingerprintBox> box, const QUICConfiguration& configuration,
                                            const Executor& executor) {
  platform::QUICParameters parameters;
  parameters.applicationProtocols = {quicApplicationProtocol};
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(configuration.idleTimeout).count();
  parameters.idleTimeoutMilliseconds = static_cast<std::uint64_t>(seconds) * 1000;
  parameters.initialMaxData = 16'777'216;
  parameters.initialMaxStreamDataBidiLocal = 4'194'304;
  parameters.initialMaxStreamDataBidiRemote = 4'194'304;
  parameters.initialMaxStreamsBidi = 8;
  if (configuration.maxUDPPayloadSize) {
    parameters.maxUDPPayloadSize = static_cast<std::uint64_t>(*configuration.maxUDPPayloadSize);
  }
  // Group-level messages (datagrams) up to 4,096 bytes are accepted and ignored.
  parameters.maxGroupMessageSize = 4096;
  if (identity) {
    parameters.localIdentity = *identity;
    // The host pings a quiet device: with a still screen it may otherwise send nothing at all.
    parameters.keepAlive = true;
  }
  if (box) {
    // The "nolu.quic.verify" queue of these parameters.
    parameters.verifyExecutor = asio::any_io_executor(makeStrand(executor));
    parameters.verify = [box](platform::QUICPeerTrust trust, platform::QUICVerifyCompletion complete) {
      box->verify(trust, complete);
    };
  }
  return parameters;
}

platform::QUICParameters makeQUICParameters(const std::shared_ptr<SelfSignedIdentity>& identity,
                                            std::shared_ptr<FingerprintBox> box, const QUICConfiguration& configuration,
                                            const Executor& executor) {
  std::optional<platform::QUICIdentity> local;
  if (identity) local = platform::QUICIdentity{identity->certificateDER, identity->privateKey().pkcs8DER()};
  return makeQUICParameters(local, std::move(box), configuration, executor);
}

std::optional<Bytes> tlsExporter(platform::QUICGroup& group) {
  auto value = group.exportKeyingMaterial(tlsExporterLabel, 32);
  if (!value || value->size() != 32) return std::nullopt;
  return value;
}

}  // namespace brindlet
