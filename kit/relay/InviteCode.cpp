#include "kit/relay/InviteCode.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "kit/pairing/PairingURL.h"

namespace brindlet {
namespace {

std::string lowerASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool isWhitespace(const icu::UnicodeString& cluster) {
  for (int32_t i = 0; i < cluster.length();) {
    UChar32 c = cluster.char32At(i);
    if (!u_isUWhiteSpace(c)) return false;
    i += U16_LENGTH(c);
  }
  return cluster.length() > 0;
}

}  // namespace

namespace InviteCode {

std::optional<std::string> normalize(std::string_view text) {
  icu::UnicodeString upper =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  upper.toUpper(icu::Locale::getRoot());
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return std::nullopt;
  clusters->setText(upper);
  std::string code;
  std::size_t count = 0;
  bool allInAlphabet = true;
  for (int32_t start = clusters->first(), end = clusters->next(); end != icu::BreakIterator::DONE;
       start = end, end = clusters->next()) {
    icu::UnicodeString cluster(upper, start, end - start);
    if (cluster == u"-" || isWhitespace(cluster)) continue;
    ++count;
    if (cluster == u"O") {
      code += '0';
    } else if (cluster == u"I" || cluster == u"L") {
      code += '1';
    } else if (cluster.length() == 1 && cluster[0] < 0x80 &&
               alphabet.find(static_cast<char>(cluster[0])) != std::string_view::npos) {
      code += static_cast<char>(cluster[0]);
    } else {
      allInAlphabet = false;
    }
  }
  if (count != 10 || !allInAlphabet) return std::nullopt;
  return code;
}

std::string display(std::string_view code) {
  if (code.size() != 10) return std::string(code);
  return std::string(code.substr(0, 5)) + "-" + std::string(code.substr(5));
}

}  // namespace InviteCode

namespace RelayRegion {
std::string displayName(std::string_view region) {
  if (lowerASCII(region) == "sin") return "Singapore";
  return std::string(region);
}
}  // namespace RelayRegion

std::optional<std::string> parseInviteURL(std::string_view url) {
  auto components = URLComponents::parse(url);
  if (!components) return std::nullopt;
  if (!PairingURL::acceptedSchemes().contains(lowerASCII(components->scheme))) return std::nullopt;
  if (lowerASCII(components->host) != "invite") return std::nullopt;
  for (const auto& [name, value] : components->queryItems) {
    if (name != "code") continue;
    if (!value) return std::nullopt;
    return InviteCode::normalize(*value);
  }
  return std::nullopt;
}

}  // namespace brindlet
