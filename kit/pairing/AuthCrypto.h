#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "kit/support/UUID.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet::AuthCrypto {

// The protocol labels, as their ASCII bytes (no terminator).
const Bytes& authLabelV1();     // "brindlet-auth-v1", in-process connections
const Bytes& authLabelV2TLS();  // "brindlet-auth-v2-tls", connections with a TLS exporter
const Bytes& pairLabel();       // "brindlet-pair-v1"
const Bytes& sasLabel();        // "brindlet-sas-v1"

// SHA-256 over the label (v2-tls when an exporter is given, else v1), the challenge nonce,
// the host fingerprint, the device ID's 16 bytes and the exporter when present.
Bytes transcriptHash(ByteView nonce, ByteView hostFingerprint, const UUID& deviceID,
                     const std::optional<Bytes>& exporter);

// ECDSA P-256 over the transcript hash: the raw 64-byte signature r || s. Throws
// platform::CryptoError when the key cannot sign.
Bytes sign(ByteView nonce, ByteView hostFingerprint, const UUID& deviceID, const std::optional<Bytes>& exporter,
           const platform::P256PrivateKey& key);

// Whether `signature` (raw 64 bytes) is the device's signature of the transcript under the
// X9.63 public key. A malformed key or signature is simply not valid.
bool verify(ByteView signature, ByteView publicKeyX963, ByteView nonce, ByteView hostFingerprint, const UUID& deviceID,
            const std::optional<Bytes>& exporter);

// HMAC-SHA256 keyed with the pairing token over "brindlet-pair-v1", the host fingerprint,
// the device's X9.63 public key and its ID.
Bytes pairingProof(ByteView token, ByteView hostFingerprint, ByteView publicKeyX963, const UUID& deviceID);

// SHA-256 of the client nonce, without label.
Bytes commitment(ByteView clientNonce);

// The six-digit code both sides show: SHA-256 over "brindlet-sas-v1", fingerprint, public
// key, host nonce and client nonce; its first four bytes big-endian, modulo 1,000,000,
// zero-padded to six digits.
std::string comparisonCode(ByteView hostFingerprint, ByteView publicKeyX963, ByteView hostNonce, ByteView clientNonce);

// Bytes from the system's secure generator; the process stops if it fails.
Bytes randomBytes(std::size_t count);

// Equality in time that depends only on the length (different lengths: false).
bool constantTimeEqual(ByteView a, ByteView b);

// Base64 with "-" and "_" for "+" and "/", and no padding; decoding restores the padding
// and gives nothing for text that is not Base64.
std::string base64URLEncode(ByteView data);
std::optional<Bytes> base64URLDecode(std::string_view text);

}  // namespace brindlet::AuthCrypto
