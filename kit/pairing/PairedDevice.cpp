#include "kit/pairing/PairedDevice.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/crypto/Base64.h"

namespace brindlet {
namespace {

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

std::optional<std::string> stringMember(const nlohmann::json& record, const char* key) {
  auto found = record.find(key);
  if (found == record.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

std::string iso8601String(Date date) {
  using namespace std::chrono;
  auto seconds = floor<std::chrono::seconds>(date);
  auto days = floor<std::chrono::days>(seconds);
  year_month_day ymd(days);
  hh_mm_ss time(seconds - days);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::optional<Date> parseISO8601(std::string_view text) {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z')
    return std::nullopt;
  int y, mo, d, h, mi, s;
  if (!readDigits(text, 0, 4, y) || !readDigits(text, 5, 2, mo) || !readDigits(text, 8, 2, d) ||
      !readDigits(text, 11, 2, h) || !readDigits(text, 14, 2, mi) || !readDigits(text, 17, 2, s))
    return std::nullopt;
  year_month_day ymd{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  return Date(sys_days(ymd)) + hours(h) + minutes(mi) + seconds(s);
}

std::string PairedDevice::toJSON() const {
  nlohmann::json record = nlohmann::json::object();
  record["deviceID"] = deviceID.uuidString();
  if (lastSeen) record["lastSeen"] = iso8601String(*lastSeen);
  record["name"] = name;
  record["pairedAt"] = iso8601String(pairedAt);
  record["publicKey"] = platform::base64Encode(publicKey);
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<PairedDevice> PairedDevice::fromJSON(std::string_view text) {
  auto record = nlohmann::json::parse(text, nullptr, false);
  if (!record.is_object()) return std::nullopt;
  auto idText = stringMember(record, "deviceID");
  auto name = stringMember(record, "name");
  auto pairedAtText = stringMember(record, "pairedAt");
  auto keyText = stringMember(record, "publicKey");
  if (!idText || !name || !pairedAtText || !keyText) return std::nullopt;
  auto deviceID = UUID::parse(*idText);
  auto pairedAt = parseISO8601(*pairedAtText);
  auto publicKey = platform::base64Decode(*keyText);
  if (!deviceID || !pairedAt || !publicKey) return std::nullopt;
  PairedDevice device{*deviceID, std::move(*name), std::move(*publicKey), *pairedAt, std::nullopt};
  if (auto found = record.find("lastSeen"); found != record.end() && !found->is_null()) {
    if (!found->is_string()) return std::nullopt;
    device.lastSeen = parseISO8601(found->get<std::string>());
    if (!device.lastSeen) return std::nullopt;
  }
  return device;
}

}  // namespace brindlet
