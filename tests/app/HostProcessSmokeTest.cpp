#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "kit/transport/QUICHostBrowser.h"

namespace {

using namespace std::chrono_literals;

// The built host, started with its home and XDG folders in `home`; everything it writes to
// stdout and stderr is collected.
class HostProcess {
 public:
  explicit HostProcess(const std::filesystem::path& home) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("no pipe");
    pid_ = fork();
    if (pid_ == 0) {
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
    fd_ = out[0];
  }
  ~HostProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads the output until it holds `text` (true) or `limit` has passed or the output ended.
  bool waitFor(const std::string& text, std::chrono::milliseconds limit) {
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (fd_ < 0 || std::chrono::steady_clock::now() > giveUp) return false;
      readSome(500);
    }
    return true;
  }

  // Sends SIGTERM and reads the output to its end; the exit status (-1: no normal exit).
  int terminate() {
    kill(pid_, SIGTERM);
    auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (fd_ >= 0 && std::chrono::steady_clock::now() < giveUp) readSome(500);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_; }

 private:
  // False when nothing came within `ms`; closes the pipe at its end.
  bool readSome(int ms) {
    if (fd_ < 0) return false;
    pollfd fd{fd_, POLLIN, 0};
    if (poll(&fd, 1, ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      close(fd_);
      fd_ = -1;
      return false;
    }
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string output_;
};

// The port in "listener advertising on UDP <port>".
std::uint16_t advertisedPort(const std::string& output) {
  const std::string marker = "listener advertising on UDP ";
  auto at = output.find(marker);
  if (at == std::string::npos) return 0;
  return static_cast<std::uint16_t>(std::stoul(output.substr(at + marker.size())));
}

// Every file below `folder` with its contents.
std::map<std::filesystem::path, std::string> filesBelow(const std::filesystem::path& folder) {
  std::map<std::filesystem::path, std::string> files;
  if (!std::filesystem::exists(folder)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

// Opens a QUIC connection to the host on loopback (any certificate) and closes it again.
bool connectOnce(std::uint16_t port) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&io] { io.run(); });
  bool connected = false;
  try {
    auto future = asio::co_spawn(
        io, brindlet::connectQUIC(io, "127.0.0.1", port, brindlet::ServerTrust::unpinned(), {}), asio::use_future);
    if (future.wait_for(20s) == std::future_status::ready) {
      auto connection = future.get();
      connected = connection != nullptr;
      if (connection) connection->close();
    }
  } catch (const std::exception&) {
    connected = false;
  }
  work.reset();
  io.stop();
  runner.join();
  return connected;
}

class HostProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = std::filesystem::temp_directory_path() / ("host-smoke-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
  }
  void TearDown() override { std::filesystem::remove_all(home); }

  std::filesystem::path home;
};

// Started with empty folders, the host probes its encoder, creates its identity, advertises
// and accepts a connection; SIGTERM ends it cleanly. Started again, it keeps that identity.
TEST_F(HostProcessTest, CreatesItsIdentityAdvertisesAcceptsAndEndsCleanlyThenKeepsItsIdentity) {
  std::map<std::filesystem::path, std::string> identity;
  {
    HostProcess host(home);
    ASSERT_TRUE(host.waitFor("listener advertising on UDP", 60s)) << host.output();
    EXPECT_NE(host.output().find("encoder verified profile"), std::string::npos) << host.output();
    std::uint16_t port = advertisedPort(host.output());
    ASSERT_NE(port, 0);
    EXPECT_TRUE(connectOnce(port));
    EXPECT_TRUE(host.waitFor("connection accepted", 10s)) << host.output();
    identity = filesBelow(home / "data");
    EXPECT_FALSE(identity.empty());
    EXPECT_EQ(host.terminate(), 0) << host.output();
  }
  {
    HostProcess host(home);
    ASSERT_TRUE(host.waitFor("listener advertising on UDP", 60s)) << host.output();
    EXPECT_EQ(filesBelow(home / "data"), identity);  // loaded, not made again
    EXPECT_EQ(host.terminate(), 0) << host.output();
  }
}

}  // namespace
