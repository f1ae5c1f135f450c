#include "kit/relay/RelayJoinGrant.h"

#include <algorithm>

#include "kit/relay/RelaySigner.h"
#include "kit/relay/RelayWire.h"
#include "platform/crypto/Digest.h"

namespace brindlet {

std::uint64_t unixSeconds(std::chrono::system_clock::time_point date) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::optional<RelayJoinGrant> RelayJoinGrant::parse(ByteView bytes) {
  if (bytes.size() != size || bytes[0] != version) return std::nullopt;
  RelayJoinGrant grant;
  grant.hkid.assign(bytes.begin() + 1, bytes.begin() + 33);
  grant.clientPublicKey.assign(bytes.begin() + 33, bytes.begin() + 98);
  grant.expiresAt = RelayWire::readUInt64(bytes, 98);
  return grant;
}

bool RelayJoinGrant::verify(ByteView grant, ByteView hostPublicKey) {
  auto parsed = parse(grant);
  if (!parsed) return false;
  if (parsed->hkid != platform::sha256(hostPublicKey)) return false;
  return verifyP256Signature(grant.subspan(signedSize), RelayWire::grantMessage(grant.first(signedSize)),
                             hostPublicKey);
}

Bytes issueRelayJoinGrant(ByteView clientPublicKey, const RelaySigner& signer,
                          std::chrono::system_clock::time_point now, std::chrono::seconds validity) {
  Bytes grant{RelayJoinGrant::version};
  Bytes hkid = platform::sha256(signer.publicKey());
  grant.insert(grant.end(), hkid.begin(), hkid.end());
  grant.insert(grant.end(), clientPublicKey.begin(), clientPublicKey.end());
  RelayWire::appendUInt64(grant, unixSeconds(now + validity));
  Bytes signature = signer.sign(RelayWire::grantMessage(grant));
  grant.insert(grant.end(), signature.begin(), signature.end());
  return grant;
}

}  // namespace brindlet
