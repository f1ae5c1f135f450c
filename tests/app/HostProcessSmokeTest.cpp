#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Starts the built host with empty home and XDG folders, waits until it advertises, then
// ends it with SIGTERM: it must exit cleanly.
TEST(HostProcess, StartsAdvertisesAndEndsCleanlyOnSIGTERM) {
  auto home = std::filesystem::temp_directory_path() / ("host-smoke-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    execl(BRINDLET_HOST_BINARY, BRINDLET_HOST_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string output;
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (output.find("listener advertising on UDP") == std::string::npos &&
         std::chrono::steady_clock::now() < giveUp) {
    pollfd fd{out[0], POLLIN, 0};
    if (poll(&fd, 1, 500) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_NE(output.find("listener advertising on UDP"), std::string::npos) << output;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  std::filesystem::remove_all(home);
}

}  // namespace
