#pragma once
// Test helper: tests that draw on the shared X display, or read what is on it, hold this
// lock for their whole run, so two test processes never use the display at once (ctest's
// RESOURCE_LOCK is not honoured for tests discovered at test time). One lock file per display.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace brindlet::testing {

class XServerLock : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    std::string path = std::string("/tmp/brindlet-x11-lock") + (display ? display : "");
    fd_ = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);  // releases the lock
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Registers the lock for the test program that includes this in one of its files.
inline ::testing::Environment* const xServerLock = ::testing::AddGlobalTestEnvironment(new XServerLock);

}  // namespace brindlet::testing
