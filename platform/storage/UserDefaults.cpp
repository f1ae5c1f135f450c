#include "platform/storage/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

#include "platform/log/Log.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"

namespace brindlet::platform {

struct UserDefaults::Values {
  nlohmann::json json = nlohmann::json::object();

  // The stored value, or nothing when the key is absent.
  const nlohmann::json* find(const std::string& key) const {
    auto it = json.find(key);
    return it == json.end() ? nullptr : &*it;
  }
};

UserDefaults::~UserDefaults() = default;

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)), values_(std::make_unique<Values>()) {
  Bytes content;
  int rc = AtomicFile::read(file_, content);
  if (rc == ENOENT) return;
  if (rc == 0) {
    auto parsed = nlohmann::json::parse(content.begin(), content.end(), nullptr, false);
    if (parsed.is_object()) {
      values_->json = std::move(parsed);
      return;
    }
    settingsLog().error("settings file %s is not a JSON object", file_.c_str());
  } else {
    settingsLog().error("settings file %s could not be read: %s", file_.c_str(), std::strerror(rc));
  }
  // The settings start empty, but what the file holds must not be lost to the next save.
  unreadableFileInPlace_ = true;
  keepUnreadableFileAsideLocked();
}

bool UserDefaults::keepUnreadableFileAsideLocked() {
  if (!unreadableFileInPlace_) return true;
  std::filesystem::path aside;
  int rc = AtomicFile::keepAside(file_, std::chrono::system_clock::now(), aside);
  if (rc == 0) settingsLog().error("unreadable settings file kept as %s", aside.c_str());
  if (rc == 0 || rc == ENOENT) {
    unreadableFileInPlace_ = false;
    return true;
  }
  settingsLog().error("unreadable settings file %s could not be kept aside: %s", file_.c_str(), std::strerror(rc));
  return false;
}

const Logger& settingsLog() {
  static const Logger logger("io.tavix.nolu.host", "settings");
  return logger;
}

std::filesystem::path UserDefaults::standardFile() {
  return StorageDirectories::configDirectory() / "Nolu" / "io.tavix.nolu.host.json";
}

std::optional<std::string> UserDefaults::object(const std::string& key) const {
  std::lock_guard guard(lock_);
  const nlohmann::json* value = values_->find(key);
  if (!value) return std::nullopt;
  return value->dump();
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  std::lock_guard guard(lock_);
  const nlohmann::json* value = values_->find(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
  std::lock_guard guard(lock_);
  const nlohmann::json* value = values_->find(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<double> UserDefaults::number(const std::string& key) const {
  std::lock_guard guard(lock_);
  const nlohmann::json* value = values_->find(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

template <class Value>
void UserDefaults::store(const std::string& key, Value value) {
  std::lock_guard guard(lock_);
  nlohmann::json json(std::move(value));
  if (json.is_null())
    values_->json.erase(key);
  else
    values_->json[key] = std::move(json);
  saveLocked();
}

void UserDefaults::set(const std::string& key, bool value) { store(key, value); }
void UserDefaults::set(const std::string& key, std::int64_t value) { store(key, value); }
void UserDefaults::set(const std::string& key, double value) { store(key, value); }
void UserDefaults::set(const std::string& key, std::string_view value) { store(key, std::string(value)); }

bool UserDefaults::setJSON(const std::string& key, std::string_view json) {
  auto parsed = nlohmann::json::parse(json, nullptr, false);
  if (parsed.is_discarded()) return false;
  store(key, std::move(parsed));
  return true;
}

void UserDefaults::remove(const std::string& key) { store(key, nullptr); }

void UserDefaults::saveLocked() {
  std::string text = values_->json.dump(2);
  text.push_back('\n');
  if (!keepUnreadableFileAsideLocked()) return;  // never written over what could not be read
  int rc = AtomicFile::makeFolder(file_.parent_path(), 0700);
  if (rc == 0)
    rc = AtomicFile::write(file_, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
  if (rc != 0) settingsLog().error("settings could not be saved to %s: %s", file_.c_str(), std::strerror(rc));
}

}  // namespace brindlet::platform
