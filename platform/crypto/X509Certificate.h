#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace brindlet::platform {

// A parsed X.509 certificate (GnuTLS's parser).
class X509Certificate {
 public:
  // Nothing unless the bytes are one DER certificate that GnuTLS accepts.
  static std::optional<X509Certificate> parse(ByteView der);

  const Bytes& der() const { return der_; }
  // The subject's common name, empty when it has none.
  std::string commonName() const;
  // The subject public key as an X9.63 point when it is a P-256 key.
  std::optional<Bytes> publicKeyX963() const;

 private:
  struct Impl;
  X509Certificate(std::shared_ptr<const Impl> impl, Bytes der);
  std::shared_ptr<const Impl> impl_;
  Bytes der_;
};

}  // namespace brindlet::platform
