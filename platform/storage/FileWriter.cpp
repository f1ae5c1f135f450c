#include "platform/storage/FileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace brindlet::platform {

int FileWriter::createEmpty(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  return ::close(fd) == 0 ? 0 : errno;
}

std::unique_ptr<FileWriter> FileWriter::open(const std::filesystem::path& file, int& error) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  error = 0;
  return std::unique_ptr<FileWriter>(new FileWriter(fd));
}

FileWriter::~FileWriter() { close(); }

int FileWriter::write(ByteView bytes) {
  if (fd_ < 0) return EBADF;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int FileWriter::close() {
  if (fd_ < 0) return 0;
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace brindlet::platform
