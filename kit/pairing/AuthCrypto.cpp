#include "kit/pairing/AuthCrypto.h"

#include <cstdio>

#include "platform/crypto/Base64.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/P256PublicKey.h"
#include "platform/crypto/SecureRandom.h"

namespace brindlet::AuthCrypto {
namespace {

void append(Bytes& out, ByteView part) { out.insert(out.end(), part.begin(), part.end()); }

Bytes transcript(ByteView nonce, ByteView hostFingerprint, const UUID& deviceID, const std::optional<Bytes>& exporter) {
  Bytes input;
  input.reserve(132);
  append(input, exporter ? authLabelV2TLS() : authLabelV1());
  append(input, nonce);
  append(input, hostFingerprint);
  append(input, deviceID.bytes);
  if (exporter) append(input, *exporter);
  return input;
}

}  // namespace

const Bytes& authLabelV1() {
  static const Bytes label = bytesOf("brindlet-auth-v1");
  return label;
}
const Bytes& authLabelV2TLS() {
  static const Bytes label = bytesOf("brindlet-auth-v2-tls");
  return label;
}
const Bytes& pairLabel() {
  static const Bytes label = bytesOf("brindlet-pair-v1");
  return label;
}
const Bytes& sasLabel() {
  static const Bytes label = bytesOf("brindlet-sas-v1");
  return label;
}

Bytes transcriptHash(ByteView nonce, ByteView hostFingerprint, const UUID& deviceID,
                     const std::optional<Bytes>& exporter) {
  return platform::sha256(transcript(nonce, hostFingerprint, deviceID, exporter));
}

Bytes sign(ByteView nonce, ByteView hostFingerprint, const UUID& deviceID, const std::optional<Bytes>& exporter,
           const platform::P256PrivateKey& key) {
  return key.signDigest(transcriptHash(nonce, hostFingerprint, deviceID, exporter));
}

bool verify(ByteView signature, ByteView publicKeyX963, ByteView nonce, ByteView hostFingerprint, const UUID& deviceID,
            const std::optional<Bytes>& exporter) {
  auto key = platform::P256PublicKey::fromX963(publicKeyX963);
  if (!key || signature.size() != 64) return false;
  return key->verifyDigest(transcriptHash(nonce, hostFingerprint, deviceID, exporter), signature);
}

Bytes pairingProof(ByteView token, ByteView hostFingerprint, ByteView publicKeyX963, const UUID& deviceID) {
  Bytes input;
  input.reserve(129);
  append(input, pairLabel());
  append(input, hostFingerprint);
  append(input, publicKeyX963);
  append(input, deviceID.bytes);
  return platform::hmacSHA256(token, input);
}

Bytes commitment(ByteView clientNonce) { return platform::sha256(clientNonce); }

std::string comparisonCode(ByteView hostFingerprint, ByteView publicKeyX963, ByteView hostNonce, ByteView clientNonce) {
  Bytes input;
  input.reserve(176);
  append(input, sasLabel());
  append(input, hostFingerprint);
  append(input, publicKeyX963);
  append(input, hostNonce);
  append(input, clientNonce);
  Bytes d = platform::sha256(input);
  std::uint32_t v =
      (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | std::uint32_t{d[3]};
  char code[16];
  std::snprintf(code, sizeof code, "%06u", v % 1000000u);
  return code;
}

Bytes randomBytes(std::size_t count) { return platform::secureRandomBytes(count); }

bool constantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  volatile std::uint8_t accumulated = 0;
  for (std::size_t i = 0; i < a.size(); ++i) accumulated = accumulated | (a[i] ^ b[i]);
  return accumulated == 0;
}

std::string base64URLEncode(ByteView data) {
  std::string text = platform::base64Encode(data);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '+')
      out += '-';
    else if (c == '/')
      out += '_';
    else if (c != '=')
      out += c;
  }
  return out;
}

std::optional<Bytes> base64URLDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
  }
  while (standard.size() % 4 != 0) standard += '=';
  return platform::base64Decode(standard);
}

}  // namespace brindlet::AuthCrypto
