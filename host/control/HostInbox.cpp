#include "host/control/HostInbox.h"

#include <sys/stat.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "platform/storage/StorageDirectories.h"

namespace brindlet::host {

std::filesystem::path HostInbox::defaultRoot() {
  return platform::StorageDirectories::cachesDirectory() / "io.tavix.nolu.host" / "Inbox";
}

void HostInbox::prune(double maxAgeSeconds, std::chrono::system_clock::time_point now,
                      const std::set<std::uint64_t>& keeping) const {
  std::set<std::string> kept;
  for (std::uint64_t id : keeping) kept.insert(std::to_string(id));
  std::error_code error;
  std::filesystem::directory_iterator children(root, error);
  if (error) return;
  const double nowSeconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  for (const auto& child : children) {
    if (kept.count(child.path().filename().string())) continue;
    struct stat info {};
    // The folder itself, not what a link points to.
    if (::lstat(child.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    const double modified = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    if (nowSeconds - modified > maxAgeSeconds) {
      std::filesystem::remove_all(child.path(), error);  // a failed removal is left for next time
    }
  }
}

namespace {

// The longest name a transfer folder holds, in UTF-8 bytes.
constexpr std::size_t maxNameBytes = 200;
// An extension this long or longer counts as part of the stem.
constexpr std::size_t maxExtensionBytes = 21;

icu::UnicodeString fromUTF8(std::string_view text) {
  // Malformed sequences become U+FFFD, so everything made from this is valid UTF-8.
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// The text after the last ".", when there is some and the dot does not start the name.
std::string_view pathExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

// The longest prefix of `text` (valid UTF-8) of at most `maxBytes` bytes that ends between two
// grapheme clusters.
std::string_view graphemePrefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<icu::BreakIterator> graphemes(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  std::size_t end = 0;
  if (U_SUCCESS(status)) {
    graphemes->setText(utext, status);
    // Names are short: walking the boundaries from the start is cheap, and never lands
    // inside a character.
    for (int32_t boundary = graphemes->first();
         U_SUCCESS(status) && boundary != icu::BreakIterator::DONE && static_cast<std::size_t>(boundary) <= maxBytes;
         boundary = graphemes->next()) {
      end = static_cast<std::size_t>(boundary);
    }
  }
  utext_close(utext);
  return text.substr(0, end);
}

bool isWhitespaceOrNewline(UChar32 c) { return u_isUWhiteSpace(c); }
bool isWhitespace(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

template <class Predicate>
icu::UnicodeString trimmed(const icu::UnicodeString& text, Predicate strip) {
  int32_t start = 0;
  int32_t end = text.length();
  while (start < end && strip(text.char32At(start))) start = text.moveIndex32(start, 1);
  while (end > start) {
    const int32_t previous = text.moveIndex32(end, -1);
    if (!strip(text.char32At(previous))) break;
    end = previous;
  }
  return icu::UnicodeString(text, start, end - start);
}

}  // namespace

std::string limitFileNameLength(std::string_view name, std::size_t maxBytes) {
  const std::string valid = toUTF8(fromUTF8(name));
  if (valid.size() <= maxBytes) return valid;
  std::string_view stem = valid;
  std::string suffix;
  const std::string_view extension = pathExtension(valid);
  if (!extension.empty() && extension.size() < maxExtensionBytes && extension.size() + 5 <= maxBytes) {
    // The extension and its dot come off as the bytes they are, so a multi-byte extension
    // takes no more of the stem with it.
    stem = std::string_view(valid).substr(0, valid.size() - extension.size() - 1);
    suffix = "." + std::string(extension);
  }
  const std::size_t stemBudget = maxBytes > suffix.size() ? maxBytes - suffix.size() : 0;
  const std::string_view kept = graphemePrefix(stem, stemBudget);
  if (kept.empty()) return "file" + suffix;
  return std::string(kept) + suffix;
}

std::string sanitizedFileName(std::string_view name) {
  const icu::UnicodeString offered = fromUTF8(name);
  icu::UnicodeString safe;
  for (int32_t i = 0; i < offered.length(); i = offered.moveIndex32(i, 1)) {
    const UChar32 c = offered.char32At(i);
    if (c == '/' || c == '\\') {
      safe.append(static_cast<UChar>('_'));
    } else if (u_charType(c) != U_CONTROL_CHAR) {
      safe.append(c);
    }
  }
  safe = trimmed(safe, isWhitespaceOrNewline);
  // Until no dot leads, so blanks between dots (". . x") leave no hidden file behind.
  do {
    int32_t dots = 0;
    while (dots < safe.length() && safe.charAt(dots) == '.') ++dots;
    safe = trimmed(icu::UnicodeString(safe, dots), isWhitespace);
  } while (safe.startsWith(icu::UnicodeString(u".")));
  if (safe.isEmpty()) return "file";
  return limitFileNameLength(toUTF8(safe), maxNameBytes);
}

std::vector<std::string> uniqueFileNames(const std::vector<std::string>& names) {
  std::set<std::string> used;
  const auto lowered = [](const std::string& text) { return toUTF8(fromUTF8(text).toLower(icu::Locale::getRoot())); };
  std::vector<std::string> result;
  result.reserve(names.size());
  for (const std::string& name : names) {
    const std::string base = sanitizedFileName(name);
    std::string candidate = base;
    for (int n = 2; used.count(lowered(candidate)); ++n) {
      std::string_view extension = pathExtension(base);
      // An extension so long that the counter would not fit beside it counts as stem.
      if (extension.size() + 16 > maxNameBytes) extension = {};
      const std::string_view stem = extension.empty()
                                        ? std::string_view(base)
                                        : std::string_view(base).substr(0, base.size() - extension.size() - 1);
      std::string suffix = " " + std::to_string(n);
      if (!extension.empty()) suffix += "." + std::string(extension);
      candidate = limitFileNameLength(stem, maxNameBytes - suffix.size()) + suffix;
    }
    used.insert(lowered(candidate));
    result.push_back(std::move(candidate));
  }
  return result;
}

}  // namespace brindlet::host
