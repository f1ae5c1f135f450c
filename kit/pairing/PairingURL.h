#pragma once

// The pairing link: which host, which certificate to pin and the one-time token, in one URL.
//
//   PairingURL link{hostID, "Studio", fingerprint, token.value};
//   std::string text = link.url();   // nolu://pair?v=1&h=...&n=Studio&fp=...&t=...
//   std::optional<PairingURL> back = PairingURL::parse(text);

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "kit/support/UUID.h"

namespace brindlet {

// The parts of a URL that links use: scheme, host and the decoded query items in order
// (an item written without "=" has no value).
struct URLComponents {
  std::string scheme;
  std::string host;
  std::vector<std::pair<std::string, std::optional<std::string>>> queryItems;

  // Nothing when the text is not a URL with a scheme and an authority ("scheme://host..."),
  // holds a space or control character, or has a broken percent escape.
  static std::optional<URLComponents> parse(std::string_view text);
};

// The value of the first query item called `name`; nothing when there is none or it has no
// value.
std::optional<std::string> pairingQueryValue(std::string_view name, const URLComponents& components);

struct PairingURL {
  UUID hostID;
  std::string hostName;
  Bytes fingerprint;  // SHA-256 of the host certificate, 32 bytes
  Bytes token;        // the pairing token's value, 16 bytes

  // The schemes that pairing and invite links are accepted with: "nolu" and "brindlet".
  static const std::set<std::string>& acceptedSchemes();

  // The text form: nolu://pair?v=1&h=HOSTID&n=NAME&fp=FINGERPRINT&t=TOKEN, each value
  // percent-encoded as a query component.
  std::string url() const;

  // The record, or nothing when the text is not a valid pairing link.
  static std::optional<PairingURL> parse(std::string_view text);

  bool operator==(const PairingURL&) const = default;
};

}  // namespace brindlet
