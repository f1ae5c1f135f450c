#include "host/app/HostInstance.h"

#include <pwd.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace brindlet::host {

namespace {
constexpr const char* kApplicationName = "io.tavix.nolu.host";

// The folder written one way: no "." or "..", no slash at the end.
std::filesystem::path normal(const std::filesystem::path& folder) {
  std::filesystem::path result = folder.lexically_normal();
  if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
  return result;
}
}  // namespace

std::string hostInstanceName(const std::filesystem::path& dataFolder, const std::filesystem::path& accountHome) {
  std::filesystem::path folder = normal(dataFolder);
  if (!accountHome.empty() && folder == normal(accountHome / ".local/share")) return kApplicationName;
  // FNV-1a over the folder's path: a bus name element of letters and digits.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : folder.string()) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, ".d%016llx", static_cast<unsigned long long>(hash));
  return std::string(kApplicationName) + suffix;
}

std::filesystem::path accountHome() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
    return {};
  return found->pw_dir;
}

std::vector<std::string> hostLinks(int argc, char** argv) {
  std::vector<std::string> links;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto colon = argument.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    bool scheme = true;
    for (std::size_t j = 0; j < colon; ++j) {
      char c = argument[j];
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
      if (!letter && !(j > 0 && other)) scheme = false;
    }
    if (scheme) links.push_back(argument);
  }
  return links;
}

std::optional<int> startRelaunchedHost(std::string* error) {
  std::error_code failure;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failure);
  if (failure) {
    if (error) *error = "cannot find this program: " + failure.message();
    return std::nullopt;
  }
  std::string path = program.string();
  std::vector<std::string> environment;
  std::string marker = std::string(relaunchVariable) + "=";
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, marker.c_str(), marker.size()) != 0) environment.emplace_back(*entry);
  }
  environment.push_back(marker + "1");
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  int status = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data());
  if (status != 0) {
    if (error) *error = path + ": " + std::strerror(status);
    return std::nullopt;
  }
  return static_cast<int>(pid);
}

}  // namespace brindlet::host
