#include "host/app/RelaySettings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

#include "platform/crypto/Base64.h"
#include "platform/storage/UserDefaults.h"

namespace brindlet::host {
namespace {

constexpr const char* kEnabled = "relay.enabled";
constexpr const char* kCoordinatorURL = "relay.coordinatorURL";
constexpr const char* kEnrolledURL = "relay.enrolledURL";
constexpr const char* kEnrolledLabel = "relay.enrolledLabel";
constexpr const char* kMigrated = "relay.migratedToInvites";
constexpr const char* kDenied = "relay.denied";

std::string trim(std::string text) {
  auto blank = [](unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  return text.substr(start);
}

double secondsOf(RelaySettings::Date date) { return std::chrono::duration<double>(date.time_since_epoch()).count(); }

// "relay.denied": empty when absent, not a dictionary, or when any value is not a number.
std::map<std::string, double> readDenied(const platform::UserDefaults& defaults) {
  std::map<std::string, double> entries;
  auto text = defaults.object(kDenied);
  if (!text) return entries;
  auto value = nlohmann::json::parse(*text, nullptr, false);
  if (!value.is_object()) return entries;
  for (const auto& [key, seconds] : value.items()) {
    if (!seconds.is_number()) return {};
    entries[key] = seconds.get<double>();
  }
  return entries;
}

void writeDenied(platform::UserDefaults& defaults, const std::map<std::string, double>& entries) {
  nlohmann::json value = nlohmann::json::object();
  for (const auto& [key, seconds] : entries) value[key] = seconds;
  defaults.setJSON(kDenied, value.dump());
}

}  // namespace

RelaySettings::RelaySettings(std::shared_ptr<platform::UserDefaults> defaults, std::function<void()> deleteFormerSecret,
                             std::string defaultCoordinatorURL)
    : defaults_(std::move(defaults)), defaultCoordinatorURL_(std::move(defaultCoordinatorURL)) {
  if (defaults_->boolean(kMigrated) != true) {
    if (deleteFormerSecret) deleteFormerSecret();
    defaults_->remove("relay.baseURL");
    defaults_->remove("relay.accountID");
    defaults_->set(kEnabled, false);
    defaults_->set(kMigrated, true);
  }
}

bool RelaySettings::enabled() const { return defaults_->boolean(kEnabled).value_or(false); }

void RelaySettings::setEnabled(bool enabled) { defaults_->set(kEnabled, enabled); }

std::string RelaySettings::coordinatorURL() const {
  std::string configured = trim(defaults_->string(kCoordinatorURL).value_or(""));
  return configured.empty() ? defaultCoordinatorURL_ : configured;
}

std::optional<RelayAccount> RelaySettings::account() const {
  auto label = defaults_->string(kEnrolledLabel);
  if (!label) return std::nullopt;
  auto url = defaults_->string(kEnrolledURL);
  if (!url) return std::nullopt;
  if (*url != coordinatorURL()) return std::nullopt;
  return RelayAccount{*url, *label};
}

void RelaySettings::setAccount(const std::string& label, const std::string& baseURL) {
  defaults_->set(kEnrolledLabel, label);
  defaults_->set(kEnrolledURL, baseURL);
}

void RelaySettings::removeAccount() {
  defaults_->remove(kEnrolledLabel);
  defaults_->remove(kEnrolledURL);
}

void RelaySettings::deny(const Bytes& key, Date date) {
  {
    std::lock_guard lock(lock_);
    double now = secondsOf(date);
    auto entries = readDenied(*defaults_);
    std::erase_if(entries, [&](const auto& entry) { return !(now - entry.second < denyWindowSeconds); });
    entries[platform::base64Encode(key)] = now;
    writeDenied(*defaults_, entries);
  }
  deniedChanged();
}

std::vector<Bytes> RelaySettings::deniedKeys(Date date) const {
  std::vector<Bytes> keys;
  {
    std::lock_guard lock(lock_);
    double now = secondsOf(date);
    for (const auto& [text, seconds] : readDenied(*defaults_)) {
      if (!(now - seconds < denyWindowSeconds)) continue;
      if (auto key = platform::base64Decode(text)) keys.push_back(std::move(*key));
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool RelaySettings::liftDenial(const Bytes& key) {
  {
    std::lock_guard lock(lock_);
    auto entries = readDenied(*defaults_);
    if (entries.erase(platform::base64Encode(key)) == 0) return false;
    writeDenied(*defaults_, entries);
  }
  deniedChanged();
  return true;
}

void RelaySettings::setDeniedChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(handlerLock_);
  deniedHandler_ = std::move(handler);
}

void RelaySettings::deniedChanged() {
  std::function<void()> handler;
  {
    std::lock_guard lock(handlerLock_);
    handler = deniedHandler_;
  }
  if (handler) handler();
}

}  // namespace brindlet::host
