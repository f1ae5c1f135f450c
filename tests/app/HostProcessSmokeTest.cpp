#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "kit/support/SystemClock.h"
#include "kit/transport/QUICHostBrowser.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;
using brindlet::testing::ChildProcess;

// The built host, started with its home and XDG folders in `home`.
std::unique_ptr<ChildProcess> startHost(const std::filesystem::path& home) {
  return std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{},
                                        ChildProcess::Environment{{"HOME", home.string()},
                                                                  {"XDG_CONFIG_HOME", (home / "config").string()},
                                                                  {"XDG_DATA_HOME", (home / "data").string()},
                                                                  {"XDG_CACHE_HOME", (home / "cache").string()}});
}

// Sends SIGTERM and waits for the host to end: its exit code (-1: no normal exit).
int terminate(ChildProcess& host) {
  host.signal(SIGTERM);
  auto status = host.waitForExit(30s);
  if (!status) return -1;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

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
    auto future = asio::co_spawn(io,
                                 brindlet::connectQUIC(io, "127.0.0.1", port, brindlet::ServerTrust::unpinned(), {},
                                                       brindlet::SystemClock::shared()),
                                 asio::use_future);
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
    auto host = startHost(home);
    ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 60s)) << host->output();
    EXPECT_NE(host->output().find("encoder verified profile"), std::string::npos) << host->output();
    std::uint16_t port = advertisedPort(host->output());
    ASSERT_NE(port, 0);
    EXPECT_TRUE(connectOnce(port));
    EXPECT_TRUE(host->waitForOutput("connection accepted", 10s)) << host->output();
    identity = filesBelow(home / "data");
    EXPECT_FALSE(identity.empty());
    EXPECT_EQ(terminate(*host), 0) << host->output();
  }
  {
    auto host = startHost(home);
    ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 60s)) << host->output();
    EXPECT_EQ(filesBelow(home / "data"), identity);  // loaded, not made again
    EXPECT_EQ(terminate(*host), 0) << host->output();
  }
}

}  // namespace
