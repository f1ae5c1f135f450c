#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/Bytes.h"

namespace brindlet::testing {

// A fresh folder under /tmp, removed with everything in it at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/brindlet-test.XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old, hadOld_ = true;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (hadOld_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

// Runs a shell command; returns its standard output and stores its exit status.
inline std::string runCommand(const std::string& command, int& status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int raw = ::pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline void writeFile(const std::filesystem::path& file, ByteView content) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

}  // namespace brindlet::testing
