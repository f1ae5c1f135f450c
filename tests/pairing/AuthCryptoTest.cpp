#include <gtest/gtest.h>

#include <sstream>

#include "kit/pairing/AuthCrypto.h"
#include "pairing/TestSupport.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet {
namespace {

using testing::fromHex;
using testing::runCommand;

Bytes range(int from, int to) {
  Bytes out;
  for (int i = from; i < to; ++i) out.push_back(static_cast<std::uint8_t>(i));
  return out;
}

// Fixed inputs; the expected values were computed with Python's hashlib and hmac.
struct Inputs {
  Bytes nonce = range(0, 32);
  Bytes fingerprint = range(32, 64);
  UUID device = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
  Bytes exporter = range(64, 96);
  Bytes publicKey = [] {
    Bytes key{0x04};
    Bytes rest = range(100, 164);
    key.insert(key.end(), rest.begin(), rest.end());
    return key;
  }();
  Bytes token = range(200, 216);
  Bytes clientNonce = range(96, 128);
  Bytes hostNonce = range(128, 160);
};

TEST(AuthCrypto, ConstructionsMatchReferenceVectors) {
  Inputs in;
  EXPECT_EQ(toHex(AuthCrypto::transcriptHash(in.nonce, in.fingerprint, in.device, std::nullopt)),
            "c8404583700edab8c3b6301fb2fe1065536107fd5c72c0cccf7b745618798f09");
  EXPECT_EQ(toHex(AuthCrypto::transcriptHash(in.nonce, in.fingerprint, in.device, in.exporter)),
            "8509e673cacb2ffe608fcf26d018e1cf1eeaa1f9677c00c043d7dd1f344b5fd2");
  EXPECT_EQ(toHex(AuthCrypto::pairingProof(in.token, in.fingerprint, in.publicKey, in.device)),
            "19bb1f63745d489143639d3cb777c58504c0e0c9bebe3512846ba7d35d709cfd");
  EXPECT_EQ(toHex(AuthCrypto::commitment(in.clientNonce)),
            "4d8d274ff7e176af977a95a0055c8c5f3478d38640343a060cee893e56f39957");
  // A value below 100,000 keeps its leading zero.
  EXPECT_EQ(AuthCrypto::comparisonCode(in.fingerprint, in.publicKey, in.hostNonce, in.clientNonce), "055413");
  // The client nonce 722382 (32 bytes big-endian) gives the largest code.
  Bytes largest(32, 0);
  largest[29] = 0x0b, largest[30] = 0x05, largest[31] = 0xce;
  EXPECT_EQ(AuthCrypto::comparisonCode(in.fingerprint, in.publicKey, in.hostNonce, largest), "999999");
  EXPECT_EQ(AuthCrypto::authLabelV1().size(), 16u);
  EXPECT_EQ(AuthCrypto::authLabelV2TLS().size(), 20u);
  EXPECT_EQ(AuthCrypto::pairLabel().size(), 16u);
  EXPECT_EQ(AuthCrypto::sasLabel().size(), 15u);
}

TEST(AuthCrypto, ExporterPresenceNotLengthSelectsTheLabel) {
  Inputs in;
  Bytes empty;
  Bytes v1 = AuthCrypto::transcriptHash(in.nonce, in.fingerprint, in.device, std::nullopt);
  Bytes v2empty = AuthCrypto::transcriptHash(in.nonce, in.fingerprint, in.device, empty);
  EXPECT_NE(v1, v2empty);
}

TEST(AuthCrypto, EverySingleByteChangesProofAndCode) {
  Inputs base;
  const Bytes proof = AuthCrypto::pairingProof(base.token, base.fingerprint, base.publicKey, base.device);
  const std::string code =
      AuthCrypto::comparisonCode(base.fingerprint, base.publicKey, base.hostNonce, base.clientNonce);
  struct Field {
    const char* name;
    Bytes Inputs::*member;
    bool inProof, inCode;
  };
  const Field fields[] = {{"fingerprint", &Inputs::fingerprint, true, true},
                          {"publicKey", &Inputs::publicKey, true, true},
                          {"token", &Inputs::token, true, false},
                          {"hostNonce", &Inputs::hostNonce, false, true},
                          {"clientNonce", &Inputs::clientNonce, false, true}};
  for (const auto& field : fields) {
    for (size_t at : {size_t{0}, size_t{13}, (base.*field.member).size() - 1}) {
      Inputs in;
      (in.*field.member)[at] ^= 0x01;
      if (field.inProof) {
        EXPECT_NE(AuthCrypto::pairingProof(in.token, in.fingerprint, in.publicKey, in.device), proof)
            << field.name << " byte " << at;
      }
      if (field.inCode) {
        EXPECT_NE(AuthCrypto::comparisonCode(in.fingerprint, in.publicKey, in.hostNonce, in.clientNonce), code)
            << field.name << " byte " << at;
      }
    }
  }
  for (size_t at : {0, 7, 15}) {
    Inputs in;
    in.device.bytes[at] ^= 0x80;
    EXPECT_NE(AuthCrypto::pairingProof(in.token, in.fingerprint, in.publicKey, in.device), proof);
  }
}

TEST(AuthCrypto, ConstantTimeEqual) {
  Bytes a = range(0, 32);
  Bytes prefix(a.begin(), a.end() - 1);
  Bytes lastDiffers = a;
  lastDiffers[31] ^= 0x40;
  EXPECT_TRUE(AuthCrypto::constantTimeEqual(a, Bytes(a)));
  EXPECT_TRUE(AuthCrypto::constantTimeEqual(Bytes{}, Bytes{}));
  EXPECT_FALSE(AuthCrypto::constantTimeEqual(prefix, a));
  EXPECT_FALSE(AuthCrypto::constantTimeEqual(a, prefix));
  EXPECT_FALSE(AuthCrypto::constantTimeEqual(a, lastDiffers));
}

TEST(AuthCrypto, Base64URL) {
  struct Case {
    std::string text;
    std::optional<Bytes> bytes;
  };
  const Case cases[] = {
      {"", Bytes{}},
      {"-_8", Bytes{0xfb, 0xff}},  // length 3: one "=" restored
      {"_w", Bytes{0xff}},         // length 2: two "=" restored
      {"AAEC", Bytes{0, 1, 2}},
      {"_w==", Bytes{0xff}},  // padding may be present
      {"A", std::nullopt},    // length 1 is never Base64
      {"a b=", std::nullopt},
      {"AA=A", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(AuthCrypto::base64URLDecode(c.text), c.bytes) << c.text;
  EXPECT_EQ(AuthCrypto::base64URLEncode(Bytes{0xfb, 0xff}), "-_8");
  for (size_t n = 0; n < 70; ++n) {
    Bytes data = AuthCrypto::randomBytes(n);
    std::string text = AuthCrypto::base64URLEncode(data);
    EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(AuthCrypto::base64URLDecode(text), data) << n;
  }
}

TEST(AuthCrypto, RandomBytesHaveTheCountAndDiffer) {
  EXPECT_EQ(AuthCrypto::randomBytes(0).size(), 0u);
  Bytes a = AuthCrypto::randomBytes(32), b = AuthCrypto::randomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
}

TEST(AuthCrypto, SignaturesVerifyAndTamperingFails) {
  Inputs in;
  auto key = platform::P256PrivateKey::generate();
  auto other = platform::P256PrivateKey::generate();
  for (const std::optional<Bytes>& exporter : {std::optional<Bytes>{}, std::optional<Bytes>{in.exporter}}) {
    Bytes signature = AuthCrypto::sign(in.nonce, in.fingerprint, in.device, exporter, key);
    ASSERT_EQ(signature.size(), 64u);
    const Bytes& pub = key.publicKeyX963();
    EXPECT_TRUE(AuthCrypto::verify(signature, pub, in.nonce, in.fingerprint, in.device, exporter));
    EXPECT_FALSE(AuthCrypto::verify(signature, other.publicKeyX963(), in.nonce, in.fingerprint, in.device, exporter));
    Bytes nonce = in.nonce;
    nonce[5] ^= 1;
    EXPECT_FALSE(AuthCrypto::verify(signature, pub, nonce, in.fingerprint, in.device, exporter));
    Bytes bad = signature;
    bad[40] ^= 1;
    EXPECT_FALSE(AuthCrypto::verify(bad, pub, in.nonce, in.fingerprint, in.device, exporter));
    // Malformed inputs are simply not valid.
    EXPECT_FALSE(AuthCrypto::verify(Bytes(signature.begin(), signature.end() - 1), pub, in.nonce, in.fingerprint,
                                    in.device, exporter));
    EXPECT_FALSE(AuthCrypto::verify(Bytes(64, 0), pub, in.nonce, in.fingerprint, in.device, exporter));
    Bytes offCurve = pub;
    offCurve[64] ^= 1;
    EXPECT_FALSE(AuthCrypto::verify(signature, offCurve, in.nonce, in.fingerprint, in.device, exporter));
    Bytes compressed(pub.begin(), pub.begin() + 33);
    compressed[0] = 0x02;
    EXPECT_FALSE(AuthCrypto::verify(signature, compressed, in.nonce, in.fingerprint, in.device, exporter));
  }
  // The exporter is bound: a signature made without it does not verify with it.
  Bytes v1 = AuthCrypto::sign(in.nonce, in.fingerprint, in.device, std::nullopt, key);
  EXPECT_FALSE(AuthCrypto::verify(v1, key.publicKeyX963(), in.nonce, in.fingerprint, in.device, in.exporter));
}

// Python's `cryptography` package is the independent implementation: it checks our
// signatures of the concatenated transcript with ECDSA-SHA256, and makes signatures that we
// check. Many signatures, so that r and s shorter than 32 bytes come up.
const char* pythonVerify = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric import ec, utils
from cryptography.hazmat.primitives import hashes
bad = 0
for line in sys.stdin:
    pub, sig, msg = (bytes.fromhex(x) for x in line.split())
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), pub)
    der = utils.encode_dss_signature(int.from_bytes(sig[:32], 'big'), int.from_bytes(sig[32:], 'big'))
    try:
        key.verify(der, msg, ec.ECDSA(hashes.SHA256()))
    except Exception:
        bad += 1
print("bad", bad)
)PY";

const char* pythonSign = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric import ec, utils
from cryptography.hazmat.primitives import hashes, serialization
nonce, fp, dev, exp = (bytes.fromhex(x) for x in sys.argv[1:5])
msg = b"brindlet-auth-v2-tls" + nonce + fp + dev + exp
for i in range(int(sys.argv[5])):
    key = ec.generate_private_key(ec.SECP256R1())
    pub = key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    r, s = utils.decode_dss_signature(key.sign(msg, ec.ECDSA(hashes.SHA256())))
    print(pub.hex(), (r.to_bytes(32, 'big') + s.to_bytes(32, 'big')).hex())
)PY";

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

TEST(AuthCrypto, SignaturesInteroperateWithPythonCryptography) {
  Inputs in;
  const int count = 400;
  testing::TempFolder folder;
  auto lines = folder.path() / "signatures";
  {
    std::ostringstream text;
    for (int i = 0; i < count; ++i) {
      auto key = platform::P256PrivateKey::generate();
      Bytes message = AuthCrypto::authLabelV2TLS();
      for (ByteView part :
           {ByteView(in.nonce), ByteView(in.fingerprint), ByteView(in.device.bytes), ByteView(in.exporter)})
        message.insert(message.end(), part.begin(), part.end());
      Bytes signature = AuthCrypto::sign(in.nonce, in.fingerprint, in.device, in.exporter, key);
      text << toHex(key.publicKeyX963()) << ' ' << toHex(signature) << ' ' << toHex(message) << '\n';
    }
    testing::writeFile(lines, bytesOf(text.str()));
  }
  int status = 0;
  std::string out = runCommand("/usr/bin/python3 -c " + shellQuote(pythonVerify) + " < " + lines.string(), status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, "bad 0\n");

  out =
      runCommand("/usr/bin/python3 -c " + shellQuote(pythonSign) + " " + toHex(in.nonce) + " " + toHex(in.fingerprint) +
                     " " + toHex(in.device.bytes) + " " + toHex(in.exporter) + " " + std::to_string(count),
                 status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream reader(out);
  std::string pub, sig;
  int checked = 0;
  while (reader >> pub >> sig) {
    EXPECT_TRUE(AuthCrypto::verify(fromHex(sig), fromHex(pub), in.nonce, in.fingerprint, in.device, in.exporter))
        << pub << " " << sig;
    ++checked;
  }
  EXPECT_EQ(checked, count);
}

}  // namespace
}  // namespace brindlet
