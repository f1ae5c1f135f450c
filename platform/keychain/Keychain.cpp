#include "platform/keychain/Keychain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/crypto/Base64.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/X509Certificate.h"
#include "platform/log/Log.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"

namespace brindlet::platform {
namespace {

using json = nlohmann::json;

// What the last failed call of this thread found, in words.
thread_local std::string lastFailureText;

void failed(std::string text) { lastFailureText = std::move(text); }

std::string kindOf(const std::filesystem::path& file) {
  std::string name = file.filename().string();
  return name.substr(0, name.find('-'));
}

// Each call holds the keychain's lock and starts with no failure recorded.
struct Guard {
  explicit Guard(std::recursive_mutex& lock) : guard(lock) { lastFailureText.clear(); }
  std::lock_guard<std::recursive_mutex> guard;
};

std::string hexOf(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

ByteView viewOf(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::int32_t statusForErrno(int error) {
  if (error == 0) return KeychainStatus::success;
  return error == ENOENT ? KeychainStatus::itemNotFound : KeychainStatus::ioFailure;
}

const Logger& keychainLog() {
  static const Logger logger("io.tavix.nolu.host", "keychain");
  return logger;
}

// Gives a folder or file that others may read or change the owner-only mode it should have,
// and says so. Links and other kinds of file are left alone.
void tighten(const std::filesystem::path& path, mode_t wanted, const char* what) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) || (st.st_mode & 077) == 0) return;
  mode_t was = st.st_mode & 07777;
  if (::chmod(path.c_str(), wanted) == 0)
    keychainLog().error("keychain %s %s was mode %04o; now %04o", what, path.c_str(), static_cast<unsigned>(was),
                        static_cast<unsigned>(wanted));
  else
    keychainLog().error("keychain %s %s is mode %04o and could not be made %04o: %s", what, path.c_str(),
                        static_cast<unsigned>(was), static_cast<unsigned>(wanted), std::strerror(errno));
}

// Reads and decodes one item file. The folder and the file are made owner-only first.
KeychainResult<json> readItem(const std::filesystem::path& file, std::string_view kind) {
  tighten(file.parent_path(), 0700, "folder");
  tighten(file, 0600, "item");
  Bytes content;
  KeychainResult<json> result;
  int rc = AtomicFile::read(file, content);
  result.status = statusForErrno(rc);
  if (result.status == KeychainStatus::ioFailure)
    failed("the " + std::string(kind) + " item " + file.string() + " could not be read: " + std::strerror(rc));
  if (result.status != KeychainStatus::success) return result;
  auto parsed = json::parse(content.begin(), content.end(), nullptr, false);
  if (!parsed.is_object() || parsed.value("class", "") != kind) {
    failed("the " + std::string(kind) + " item " + file.string() + " could not be decoded");
    result.status = KeychainStatus::invalidItem;
    return result;
  }
  result.value = std::move(parsed);
  return result;
}

std::optional<Bytes> bytesField(const json& item, const char* name) {
  auto it = item.find(name);
  if (it == item.end() || !it->is_string()) return std::nullopt;
  return base64Decode(it->get<std::string>());
}

// Calls `visit` with every decoded item file of one kind. An item that cannot be read does
// not hide the others: it is skipped, and the first such failure is returned (a missing
// folder is simply empty).
template <class Visit>
std::int32_t forEachItem(const std::filesystem::path& folder, std::string_view kind, Visit visit) {
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  auto listFailed = [&] {
    failed("the keychain folder " + folder.string() + " could not be read: " + error.message());
    return KeychainStatus::ioFailure;
  };
  if (error) return error.value() == ENOENT ? KeychainStatus::success : listFailed();
  std::int32_t status = KeychainStatus::success;
  std::string prefix = std::string(kind) + "-";
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return listFailed();
    std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    auto item = readItem(it->path(), kind);
    if (item.status == KeychainStatus::success)
      visit(it->path(), *item.value);
    else if (status == KeychainStatus::success)
      status = item.status;
  }
  return error ? listFailed() : status;
}

constexpr std::string_view passwordKind = "password";
constexpr std::string_view keyKind = "key";
constexpr std::string_view certificateKind = "certificate";

Bytes passwordIdentity(const std::string& service, const std::string& account) {
  Bytes id(service.begin(), service.end());
  id.push_back(0);
  id.insert(id.end(), account.begin(), account.end());
  return id;
}

std::optional<Keychain::KeyItem> decodeKey(const json& item) {
  auto tag = bytesField(item, "applicationTag");
  auto applicationLabel = bytesField(item, "applicationLabel");
  auto der = bytesField(item, "keyData");
  if (!tag || !applicationLabel || !der || !item.value("label", json()).is_string()) return std::nullopt;
  auto key = P256PrivateKey::fromPKCS8(*der);
  std::fill(der->begin(), der->end(), 0);
  if (!key) return std::nullopt;
  return Keychain::KeyItem{*tag, item["label"].get<std::string>(), *applicationLabel, *key};
}

std::optional<Keychain::CertificateItem> decodeCertificate(const json& item) {
  auto hash = bytesField(item, "publicKeyHash");
  auto der = bytesField(item, "certificate");
  if (!hash || !der || !item.value("label", json()).is_string()) return std::nullopt;
  return Keychain::CertificateItem{item["label"].get<std::string>(), *hash, *der};
}

// The decoded item, when it decodes and is the item asked for.
template <class T>
KeychainResult<T> decodeItem(const std::filesystem::path& file, std::string_view kind,
                             std::optional<T> (*decode)(const json&), Bytes T::*identifying, ByteView expected) {
  KeychainResult<json> item = readItem(file, kind);
  KeychainResult<T> result{item.status, std::nullopt};
  if (item.status != KeychainStatus::success) return result;
  auto value = decode(*item.value);
  if (!value ||
      !std::equal(((*value).*identifying).begin(), ((*value).*identifying).end(), expected.begin(), expected.end())) {
    failed("the " + std::string(kind) + " item " + file.string() + " could not be decoded");
    result.status = KeychainStatus::invalidItem;
    return result;
  }
  result.value = std::move(value);
  return result;
}

}  // namespace

std::recursive_mutex& keychainLock() {
  static std::recursive_mutex lock;
  return lock;
}

Keychain::Keychain(std::filesystem::path folder) : folder_(std::move(folder)) {}

Keychain Keychain::standard() {
  return Keychain(StorageDirectories::applicationSupportDirectory() / "Nolu" / "Keychain");
}

Bytes Keychain::publicKeyHash(ByteView publicKeyX963) { return sha256(publicKeyX963); }

std::filesystem::path Keychain::itemPath(std::string_view kind, ByteView identifying) const {
  return folder_ / (std::string(kind) + "-" + hexOf(sha256(identifying)));
}

std::int32_t Keychain::store(const std::filesystem::path& file, const std::string& content, bool exclusive) const {
  if (int rc = AtomicFile::makeFolder(folder_, 0700); rc != 0) {
    failed("the keychain folder " + folder_.string() + " could not be made: " + std::strerror(rc));
    return KeychainStatus::ioFailure;
  }
  int rc = AtomicFile::write(file, viewOf(content), 0600, exclusive);
  if (rc == EEXIST && exclusive) return KeychainStatus::duplicateItem;
  if (rc != 0) failed("the " + kindOf(file) + " item " + file.string() + " could not be written: " + std::strerror(rc));
  return rc == 0 ? KeychainStatus::success : KeychainStatus::ioFailure;
}

std::string Keychain::lastFailure() { return lastFailureText; }

std::int32_t Keychain::remove(const std::filesystem::path& file) const {
  int rc = ::unlink(file.c_str()) == 0 ? 0 : errno;
  if (rc != 0 && rc != ENOENT)
    failed("the " + kindOf(file) + " item " + file.string() + " could not be removed: " + std::strerror(rc));
  return statusForErrno(rc);
}

// Generic passwords.

KeychainResult<Bytes> Keychain::copyGenericPassword(const std::string& service, const std::string& account) const {
  Guard guard(keychainLock());
  auto item = readItem(itemPath(passwordKind, passwordIdentity(service, account)), passwordKind);
  KeychainResult<Bytes> result{item.status, std::nullopt};
  if (item.status != KeychainStatus::success) return result;
  auto data = bytesField(*item.value, "data");
  if (!data || item.value->value("service", "") != service || item.value->value("account", "") != account) {
    result.status = KeychainStatus::invalidItem;
    return result;
  }
  result.value = std::move(*data);
  return result;
}

namespace {
std::string passwordContent(const std::string& service, const std::string& account, ByteView data) {
  return json{{"class", passwordKind}, {"service", service}, {"account", account}, {"data", base64Encode(data)}}.dump();
}
}  // namespace

std::int32_t Keychain::addGenericPassword(const std::string& service, const std::string& account, ByteView data) const {
  Guard guard(keychainLock());
  return store(itemPath(passwordKind, passwordIdentity(service, account)), passwordContent(service, account, data),
               true);
}

std::int32_t Keychain::updateGenericPassword(const std::string& service, const std::string& account,
                                             ByteView data) const {
  Guard guard(keychainLock());
  auto file = itemPath(passwordKind, passwordIdentity(service, account));
  if (::access(file.c_str(), F_OK) != 0) return statusForErrno(errno);
  return store(file, passwordContent(service, account, data), false);
}

std::int32_t Keychain::deleteGenericPassword(const std::string& service, const std::string& account) const {
  Guard guard(keychainLock());
  return remove(itemPath(passwordKind, passwordIdentity(service, account)));
}

// Keys.

std::int32_t Keychain::addKey(ByteView applicationTag, const std::string& label, const P256PrivateKey& key) const {
  Guard guard(keychainLock());
  Bytes der = key.pkcs8DER();
  std::string content = json{
      {"class", keyKind},
      {"applicationTag", base64Encode(applicationTag)},
      {"label", label},
      {"applicationLabel", base64Encode(publicKeyHash(key.publicKeyX963()))},
      {"keyData",
       base64Encode(der)}}.dump();
  std::fill(der.begin(), der.end(), 0);
  std::int32_t status = store(itemPath(keyKind, applicationTag), content, true);
  std::fill(content.begin(), content.end(), 0);
  return status;
}

KeychainResult<Keychain::KeyItem> Keychain::copyKey(ByteView applicationTag) const {
  Guard guard(keychainLock());
  return decodeItem(itemPath(keyKind, applicationTag), keyKind, decodeKey, &KeyItem::applicationTag, applicationTag);
}

std::int32_t Keychain::deleteKeys(ByteView applicationTag) const {
  Guard guard(keychainLock());
  return remove(itemPath(keyKind, applicationTag));
}

// Certificates.

std::int32_t Keychain::addCertificate(const std::string& label, ByteView der) const {
  Guard guard(keychainLock());
  auto certificate = X509Certificate::parse(der);
  std::optional<Bytes> point = certificate ? certificate->publicKeyX963() : std::nullopt;
  if (!point) return KeychainStatus::invalidParameter;
  Bytes hash = publicKeyHash(*point);
  std::string content = json{
      {"class", certificateKind},
      {"label", label},
      {"publicKeyHash", base64Encode(hash)},
      {"certificate",
       base64Encode(der)}}.dump();
  return store(itemPath(certificateKind, hash), content, true);
}

KeychainResult<Keychain::CertificateItem> Keychain::copyCertificate(ByteView publicKeyHash) const {
  Guard guard(keychainLock());
  return decodeItem(itemPath(certificateKind, publicKeyHash), certificateKind, decodeCertificate,
                    &CertificateItem::publicKeyHash, publicKeyHash);
}

std::int32_t Keychain::deleteCertificates(ByteView publicKeyHash) const {
  Guard guard(keychainLock());
  return remove(itemPath(certificateKind, publicKeyHash));
}

std::int32_t Keychain::deleteCertificatesLabelled(const std::string& label) const {
  Guard guard(keychainLock());
  std::vector<std::filesystem::path> doomed;
  std::int32_t status = forEachItem(folder_, certificateKind, [&](const std::filesystem::path& file, const json& item) {
    if (item.value("label", json()) == label) doomed.push_back(file);
  });
  if (doomed.empty() && status == KeychainStatus::success) return KeychainStatus::itemNotFound;
  for (const auto& file : doomed)
    if (std::int32_t rc = remove(file); rc != KeychainStatus::success) status = rc;
  return status;
}

// The key is found by its application label, which only the item files hold. An unreadable
// file of another item does not matter once the key is found; without a match it may be
// the key itself, so its failure is reported rather than "not found".
KeychainResult<TLSIdentity> Keychain::copyIdentity(const CertificateItem& certificate) const {
  Guard guard(keychainLock());
  KeychainResult<TLSIdentity> result;
  std::optional<KeyItem> match;
  std::int32_t undecodable = KeychainStatus::success;
  std::int32_t status = forEachItem(folder_, keyKind, [&](const std::filesystem::path& file, const json& item) {
    if (match || bytesField(item, "applicationLabel") != certificate.publicKeyHash) return;
    match = decodeKey(item);
    if (!match) {
      undecodable = KeychainStatus::invalidItem;
      failed("the key item " + file.string() + " could not be decoded");
    }
  });
  if (match) {
    result.status = KeychainStatus::success;
    result.value = TLSIdentity{certificate.der, match->key};
  } else if (undecodable != KeychainStatus::success) {
    result.status = undecodable;
  } else {
    result.status = status == KeychainStatus::success ? KeychainStatus::itemNotFound : status;
  }
  return result;
}

}  // namespace brindlet::platform
