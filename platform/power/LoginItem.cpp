#include "platform/power/LoginItem.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"

namespace brindlet::platform {

namespace {

// A value of a desktop entry: backslashes, line breaks and tabs escaped.
std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

// An argument of Exec, quoted as the desktop-entry rules ask.
std::string quotedArgument(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

LoginItem::LoginItem(std::string name, std::string displayName, std::filesystem::path executable)
    : name_(std::move(name)), displayName_(std::move(displayName)), executable_(std::move(executable)) {}

LoginItem LoginItem::mainApp() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return LoginItem("io.tavix.nolu.host", "Nolu Host", error ? std::filesystem::path() : self);
}

std::filesystem::path LoginItem::entryPath() const {
  return StorageDirectories::configDirectory() / "autostart" / (name_ + ".desktop");
}

void LoginItem::registerItem() {
  if (executable_.empty()) throw std::runtime_error("the program's own path is unknown");
  std::string entry = "[Desktop Entry]\nType=Application\nName=" + escaped(displayName_) +
                      "\nExec=" + escaped(quotedArgument(executable_.string())) +
                      "\nX-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  std::error_code folderError;
  std::filesystem::create_directories(entryPath().parent_path(), folderError);
  if (folderError) {
    throw std::runtime_error("cannot create " + entryPath().parent_path().string() + ": " + folderError.message());
  }
  Bytes content(entry.begin(), entry.end());
  if (int error = AtomicFile::write(entryPath(), content, 0644); error != 0) {
    throw std::runtime_error("cannot write " + entryPath().string() + ": " + std::generic_category().message(error));
  }
}

void LoginItem::unregisterItem() {
  std::error_code error;
  std::filesystem::remove(entryPath(), error);
  if (error) throw std::runtime_error("cannot remove " + entryPath().string() + ": " + error.message());
}

bool LoginItem::isEnabled() const {
  std::ifstream file(entryPath());
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
  }
  return true;
}

}  // namespace brindlet::platform
