// Linked into every test program that uses a shared test service holding global state: the X
// display (what is drawn, which window has the focus, the keys held) and the sound server (the
// default sink and where each stream plays). The program holds an exclusive lock per service
// for its whole run, so two test programs never use one of them at once, whatever ctest runs in
// parallel (its RESOURCE_LOCK is not honoured for tests discovered at test time). The locks are
// always taken in one order, so two programs that need both never wait on each other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace brindlet::testing {
namespace {

// One lock file per service instance, so separate sets of test services do not share a lock.
std::string lockPath(std::string_view service, const char* instanceVariable) {
  const char* instance = std::getenv(instanceVariable);
  std::string path = "/tmp/brindlet-" + std::string(service) + "-lock";
  for (char c : std::string(instance ? instance : "")) path += (c == '/' || c == ':') ? '_' : c;
  return path;
}

class ServiceLocks : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string_view services = BRINDLET_TEST_LOCKS;
    if (services.find("x11") != std::string_view::npos) take(lockPath("x11", "DISPLAY"));
    if (services.find("pulse") != std::string_view::npos) take(lockPath("pulse", "PULSE_SERVER"));
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);  // releases the locks
    fds_.clear();
  }

 private:
  void take(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return;
    flock(fd, LOCK_EX);
    fds_.push_back(fd);
  }

  std::vector<int> fds_;
};

::testing::Environment* const serviceLocks = ::testing::AddGlobalTestEnvironment(new ServiceLocks);

}  // namespace
}  // namespace brindlet::testing
