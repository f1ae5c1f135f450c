// The path monitor in a network namespace of the test's own, where the test adds and
// removes a veth pair; the machine's real interfaces are never touched.
#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/dnssd/Waiter.h"
#include "platform/net/NetworkPathMonitor.h"

namespace brindlet::platform {
namespace {

using testing::RunningContext;
using testing::Waiter;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::vector<std::string> names(const NetworkPath& path) {
  std::vector<std::string> out;
  for (const auto& interface : path.availableInterfaces) out.push_back(interface.name);
  return out;
}

TEST(NetworkPathMonitorTest, ReportsInterfacesThatComeUpWithAnAddressAndGoAway) {
  // Everything below happens in a new network namespace: only this process is in it.
  if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
  ASSERT_TRUE(run("ip link set lo up"));

  // Loopback alone is no path.
  NetworkPath initial = NetworkPathMonitor::currentPath();
  EXPECT_FALSE(initial.satisfied);
  EXPECT_TRUE(initial.availableInterfaces.empty());

  RunningContext context;  // its thread starts inside the namespace
  auto paths = std::make_shared<Waiter<NetworkPath>>();
  NetworkPathMonitor monitor(context.executor(), [paths](const NetworkPath& path) { paths->push(path); });
  monitor.start();
  auto first = paths->waitFor([](const NetworkPath&) { return true; });
  ASSERT_TRUE(first) << "no first report";
  EXPECT_EQ(*first, initial);

  auto reaches = [&](std::vector<std::string> expected) {
    return paths->waitFor([&](const NetworkPath& p) { return names(p) == expected; });
  };

  // Links that are up but hold no address are not usable yet.
  ASSERT_TRUE(run("ip link add nvb0 type veth peer name nva0 && ip link set nvb0 up && ip link set nva0 up"));
  EXPECT_EQ(names(NetworkPathMonitor::currentPath()), std::vector<std::string>{});

  ASSERT_TRUE(run("ip addr add 10.213.0.2/24 dev nvb0"));
  auto one = reaches({"nvb0"});
  ASSERT_TRUE(one) << "no report for nvb0 with its address";
  EXPECT_TRUE(one->satisfied);
  EXPECT_EQ(one->availableInterfaces[0].type, NetworkInterfaceType::other);  // a virtual link

  // A second interface: the names come sorted.
  ASSERT_TRUE(run("ip addr add 10.213.0.1/24 dev nva0"));
  auto two = reaches({"nva0", "nvb0"});
  ASSERT_TRUE(two) << "no report for both ends";
  EXPECT_TRUE(two->satisfied);

  // Taking one end down (the peer loses its carrier too) and then deleting the pair.
  ASSERT_TRUE(run("ip link set nva0 down"));
  auto down = reaches({});
  ASSERT_TRUE(down) << "no report after the link went down";
  EXPECT_FALSE(down->satisfied);
  ASSERT_TRUE(run("ip link set nva0 up"));
  ASSERT_TRUE(reaches({"nva0", "nvb0"}));
  ASSERT_TRUE(run("ip link del nvb0"));
  auto gone = reaches({});
  ASSERT_TRUE(gone) << "no report after the pair was deleted";
  EXPECT_FALSE(gone->satisfied);

  // After cancel nothing more is reported.
  monitor.cancel();
  ASSERT_TRUE(
      run("ip link add nvc0 type veth peer name nvc1 && ip link set nvc0 up && ip link set nvc1 up"
          " && ip addr add 10.213.1.1/24 dev nvc0"));
  EXPECT_FALSE(paths->waitFor([](const NetworkPath&) { return true; }, std::chrono::milliseconds(300)));
}

}  // namespace
}  // namespace brindlet::platform
