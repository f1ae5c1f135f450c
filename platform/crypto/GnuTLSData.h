#pragma once

// Helpers for the sources that talk to GnuTLS directly; never included by a header.

#include <gnutls/gnutls.h>

#include <algorithm>

#include "base/Bytes.h"

namespace brindlet::platform {

// A gnutls_datum_t that GnuTLS filled and that is freed with it.
struct OwnedDatum {
  gnutls_datum_t datum{nullptr, 0};
  OwnedDatum() = default;
  OwnedDatum(const OwnedDatum&) = delete;
  OwnedDatum& operator=(const OwnedDatum&) = delete;
  ~OwnedDatum() { gnutls_free(datum.data); }
  gnutls_datum_t* operator&() { return &datum; }
  ByteView view() const { return ByteView(datum.data, datum.size); }
  Bytes bytes() const { return Bytes(datum.data, datum.data + datum.size); }
};

// A datum over bytes that the caller keeps alive.
inline gnutls_datum_t datumOf(ByteView bytes) {
  return gnutls_datum_t{const_cast<unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size())};
}

// An unsigned big-endian integer as exactly `width` bytes: leading zeros dropped or added.
// Nothing when the value does not fit.
inline bool appendFixedWidth(Bytes& out, ByteView value, std::size_t width) {
  std::size_t skip = 0;
  while (skip < value.size() && value[skip] == 0) ++skip;
  std::size_t length = value.size() - skip;
  if (length > width) return false;
  out.insert(out.end(), width - length, 0);
  out.insert(out.end(), value.begin() + static_cast<std::ptrdiff_t>(skip), value.end());
  return true;
}

}  // namespace brindlet::platform
