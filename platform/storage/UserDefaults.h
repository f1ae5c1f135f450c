#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace brindlet::platform {

// The application's settings: a dictionary of keys to values kept as one JSON file. Each
// value keeps its type (a Boolean stays a Boolean, a string a string, a number a number, a
// dictionary a dictionary), so a reader can tell a stored `true` from a stored 1 or "1".
// Every change rewrites the file atomically, owner-only. A file that cannot be parsed is
// moved aside (".unreadable") and the settings start empty, so nothing is overwritten.
class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file);

  // The application's standard settings: "io.tavix.nolu.host.json" in the folder "Nolu" of
  // the user's configuration folder, opened on first use.
  static UserDefaults& standard();
  static std::filesystem::path standardFile();

  // The stored value of any type, or nothing when the key is absent.
  std::optional<nlohmann::json> object(const std::string& key) const;
  // The value only when it has that type.
  std::optional<std::string> string(const std::string& key) const;
  std::optional<bool> boolean(const std::string& key) const;
  std::optional<double> number(const std::string& key) const;

  // Stores a value (a null value removes the key) and writes the file.
  void set(const std::string& key, nlohmann::json value);
  void remove(const std::string& key);

  const std::filesystem::path& file() const { return file_; }

 private:
  void saveLocked();

  std::filesystem::path file_;
  mutable std::mutex lock_;
  nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace brindlet::platform
