#include "kit/pairing/PairingURL.h"

#include <unicode/ustring.h>

#include "kit/pairing/AuthCrypto.h"

namespace brindlet {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hexValue(text[i + 1]);
    int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  // A decoded component is text: bytes that are not UTF-8 make no value.
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  u_strFromUTF8(nullptr, 0, &units, out.data(), static_cast<int32_t>(out.size()), &status);
  if (status != U_ZERO_ERROR && status != U_BUFFER_OVERFLOW_ERROR && status != U_STRING_NOT_TERMINATED_WARNING)
    return std::nullopt;
  return out;
}

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string percentEncode(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isUnreserved(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

bool isSchemeCharacter(char c, bool first) {
  bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

std::string lowerASCII(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::optional<Bytes> decodeExactly(const std::optional<std::string>& text, std::size_t length) {
  if (!text) return std::nullopt;
  auto bytes = AuthCrypto::base64URLDecode(*text);
  if (!bytes || bytes->size() != length) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
  for (unsigned char c : text)
    if (c <= 0x20 || c == 0x7F) return std::nullopt;
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  for (std::size_t i = 0; i < colon; ++i)
    if (!isSchemeCharacter(text[i], i == 0)) return std::nullopt;
  URLComponents components;
  components.scheme = std::string(text.substr(0, colon));
  std::string_view rest = text.substr(colon + 1);
  if (rest.substr(0, 2) != "//") return std::nullopt;
  rest.remove_prefix(2);

  std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  std::string_view query;
  std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  std::string_view authority = rest.substr(0, rest.find('/'));
  auto host = percentDecode(authority);
  if (!host) return std::nullopt;
  components.host = *host;

  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    std::size_t equals = item.find('=');
    auto name = percentDecode(item.substr(0, equals));
    if (!name) return std::nullopt;
    std::optional<std::string> value;
    if (equals != std::string_view::npos) {
      value = percentDecode(item.substr(equals + 1));
      if (!value) return std::nullopt;
    }
    components.queryItems.emplace_back(std::move(*name), std::move(value));
  }
  return components;
}

std::optional<std::string> pairingQueryValue(std::string_view name, const URLComponents& components) {
  for (const auto& [itemName, value] : components.queryItems)
    if (itemName == name) return value;
  return std::nullopt;
}

const std::set<std::string>& PairingURL::acceptedSchemes() {
  static const std::set<std::string> schemes{"nolu", "brindlet"};
  return schemes;
}

std::string PairingURL::url() const {
  std::string text = "nolu://pair?v=1&h=";
  text += hostID.uuidString();
  text += "&n=" + percentEncode(hostName);
  text += "&fp=" + percentEncode(AuthCrypto::base64URLEncode(fingerprint));
  text += "&t=" + percentEncode(AuthCrypto::base64URLEncode(token));
  return text;
}

std::optional<PairingURL> PairingURL::parse(std::string_view text) {
  auto components = URLComponents::parse(text);
  if (!components) return std::nullopt;
  if (!acceptedSchemes().count(lowerASCII(components->scheme))) return std::nullopt;
  if (components->host != "pair") return std::nullopt;
  if (pairingQueryValue("v", *components) != std::optional<std::string>("1")) return std::nullopt;
  auto hostText = pairingQueryValue("h", *components);
  std::optional<UUID> hostID = hostText ? UUID::parse(*hostText) : std::nullopt;
  if (!hostID) return std::nullopt;
  auto name = pairingQueryValue("n", *components);
  if (!name) return std::nullopt;
  auto fingerprint = decodeExactly(pairingQueryValue("fp", *components), 32);
  if (!fingerprint) return std::nullopt;
  auto token = decodeExactly(pairingQueryValue("t", *components), 16);
  if (!token) return std::nullopt;
  return PairingURL{*hostID, std::move(*name), std::move(*fingerprint), std::move(*token)};
}

}  // namespace brindlet
