#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace brindlet::platform {

class Logger;

// The settings' logger: subsystem "io.tavix.nolu.host", category "settings".
const Logger& settingsLog();

// The application's settings: a dictionary of keys to values kept as one JSON file. Each
// value keeps its type (a Boolean stays a Boolean, a string a string, a number a number, a
// dictionary a dictionary), so a reader can tell a stored `true` from a stored 1 or "1".
// Every change rewrites the file atomically, owner-only. A file that cannot be read or parsed
// is renamed aside ("<file>.unreadable-<date>", every such copy kept) and the settings start
// empty; while it cannot be moved, nothing is written over it.
class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The file of the application's standard settings: "io.tavix.nolu.host.json" in the folder
  // "Nolu" of the user's configuration folder. The composition root opens it once.
  static std::filesystem::path standardFile();

  // The stored value of any type as JSON text, or nothing when the key is absent.
  std::optional<std::string> object(const std::string& key) const;
  // The value only when it has that type.
  std::optional<std::string> string(const std::string& key) const;
  std::optional<bool> boolean(const std::string& key) const;
  std::optional<double> number(const std::string& key) const;

  // Stores a value and writes the file.
  void set(const std::string& key, bool value);
  void set(const std::string& key, std::int64_t value);
  void set(const std::string& key, int value) { set(key, static_cast<std::int64_t>(value)); }
  void set(const std::string& key, double value);
  void set(const std::string& key, std::string_view value);
  void set(const std::string& key, const char* value) { set(key, std::string_view(value)); }
  // Stores a value of any type given as JSON text (a null removes the key); false, and
  // nothing stored, when the text is not JSON.
  bool setJSON(const std::string& key, std::string_view json);
  void remove(const std::string& key);

  const std::filesystem::path& file() const { return file_; }

 private:
  struct Values;
  template <class Value>
  void store(const std::string& key, Value value);
  void saveLocked();
  bool keepUnreadableFileAsideLocked();

  std::filesystem::path file_;
  mutable std::mutex lock_;
  std::unique_ptr<Values> values_;
  bool unreadableFileInPlace_ = false;  // the file on disk holds what could not be read
};

}  // namespace brindlet::platform
