#include "platform/storage/UserDefaults.h"

#include <cstdio>
#include <cstring>

#include "platform/log/Log.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"

namespace brindlet::platform {

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
  Bytes content;
  int rc = AtomicFile::read(file_, content);
  if (rc == ENOENT) return;
  if (rc != 0) {
    systemLog("Nolu: settings file %s could not be read: %s", file_.c_str(), std::strerror(rc));
    return;
  }
  auto parsed = nlohmann::json::parse(content.begin(), content.end(), nullptr, false);
  if (parsed.is_object()) {
    values_ = std::move(parsed);
    return;
  }
  std::filesystem::path aside = file_;
  aside += ".unreadable";
  std::error_code ignored;
  std::filesystem::rename(file_, aside, ignored);
  systemLog("Nolu: settings file %s is not a JSON object; moved to %s", file_.c_str(), aside.c_str());
}

std::filesystem::path UserDefaults::standardFile() {
  return StorageDirectories::configDirectory() / "Nolu" / "io.tavix.nolu.host.json";
}

UserDefaults& UserDefaults::standard() {
  static UserDefaults defaults(standardFile());
  return defaults;
}

std::optional<nlohmann::json> UserDefaults::object(const std::string& key) const {
  std::lock_guard guard(lock_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  auto value = object(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
  auto value = object(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<double> UserDefaults::number(const std::string& key) const {
  auto value = object(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

void UserDefaults::set(const std::string& key, nlohmann::json value) {
  std::lock_guard guard(lock_);
  if (value.is_null())
    values_.erase(key);
  else
    values_[key] = std::move(value);
  saveLocked();
}

void UserDefaults::remove(const std::string& key) { set(key, nullptr); }

void UserDefaults::saveLocked() {
  std::string text = values_.dump(2);
  text.push_back('\n');
  int rc = AtomicFile::makeFolder(file_.parent_path(), 0700);
  if (rc == 0)
    rc = AtomicFile::write(file_, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
  if (rc != 0) systemLog("Nolu: settings could not be saved to %s: %s", file_.c_str(), std::strerror(rc));
}

}  // namespace brindlet::platform
