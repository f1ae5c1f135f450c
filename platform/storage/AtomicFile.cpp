#include "platform/storage/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

namespace brindlet::platform {
namespace {

int syncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

int writeAll(int fd, ByteView content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

int AtomicFile::write(const std::filesystem::path& file, ByteView content, mode_t mode, bool exclusive) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  std::string temp = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (rc == 0) rc = writeAll(fd, content);
  if (rc == 0 && ::fsync(fd) != 0) rc = errno;
  if (::close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0) {
    unsigned flags = exclusive ? RENAME_NOREPLACE : 0;
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), flags) != 0) rc = errno;
  }
  if (rc != 0) {
    ::unlink(temp.c_str());
    return rc;
  }
  return syncFolder(folder);
}

int AtomicFile::read(const std::filesystem::path& file, Bytes& content, std::size_t limit) {
  content.clear();
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::uint8_t buffer[8192];
  int rc = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = errno;
      break;
    }
    if (n == 0) break;
    if (static_cast<std::size_t>(n) > limit - content.size()) {
      rc = EFBIG;
      break;
    }
    content.insert(content.end(), buffer, buffer + n);
  }
  ::close(fd);
  if (rc != 0) content.clear();
  return rc;
}

int AtomicFile::makeFolder(const std::filesystem::path& folder, mode_t mode) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if ((st.st_mode & 07777) != mode && ::chmod(folder.c_str(), mode) != 0) return errno;
  return 0;
}

int AtomicFile::keepAside(const std::filesystem::path& file, std::chrono::system_clock::time_point when,
                          std::filesystem::path& aside) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  char stamp[32] = "";
  if (::gmtime_r(&seconds, &utc)) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string base = file.string() + ".unreadable-" + stamp;
  int rc = EEXIST;
  for (int n = 0; n < 1000 && rc == EEXIST; ++n) {
    std::string name = n == 0 ? base : base + "-" + std::to_string(n);
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
      aside = name;
      return 0;
    }
    rc = errno;
  }
  return rc;
}

}  // namespace brindlet::platform
