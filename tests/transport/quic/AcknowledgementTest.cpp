// What the host's socket sends when a device's message is answered at once: one datagram that
// carries both the answer and the acknowledgement of the message. Counted by standing in for
// the C library's send calls, in this test program only.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/use_future.hpp>

#include "kit/support/ManualClock.h"
#include "kit/transport/QUICConnection.h"
#include "platform/quic/Eventually.h"
#include "platform/quic/QUICListener.h"
#include "platform/quic/TestCertificate.h"

namespace {

// The local port whose datagrams are counted (0: none), how many left it, and when the last did
// (ticks of the steady clock).
using SteadyClock = std::chrono::steady_clock;
std::atomic<int> countedPort{0};
std::atomic<std::size_t> counted{0};
std::atomic<SteadyClock::rep> lastSent{0};

bool fromCountedPort(int fd) {
  const int port = countedPort.load();
  if (port == 0) return false;
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return false;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port) == port;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port) == port;
  return false;
}

// The datagrams one message makes: several when the kernel is to cut it into segments.
std::size_t datagramsIn(const msghdr* message, std::size_t bytes) {
  for (const cmsghdr* header = CMSG_FIRSTHDR(message); header;
       header = CMSG_NXTHDR(const_cast<msghdr*>(message), const_cast<cmsghdr*>(header))) {
    if (header->cmsg_level == SOL_UDP && header->cmsg_type == UDP_SEGMENT) {
      std::uint16_t segment = 0;
      std::memcpy(&segment, CMSG_DATA(header), sizeof segment);
      if (segment > 0) return (bytes + segment - 1) / segment;
    }
  }
  return 1;
}

void note(std::size_t datagrams) {
  counted += datagrams;
  lastSent = SteadyClock::now().time_since_epoch().count();
}

SteadyClock::duration sinceLastSent() {
  return SteadyClock::now() - SteadyClock::time_point(SteadyClock::duration(lastSent.load()));
}

}  // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  using Send = ssize_t (*)(int, const msghdr*, int);
  static const Send next = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "sendmsg"));
  const ssize_t sent = next(fd, message, flags);
  if (sent > 0 && fromCountedPort(fd)) note(datagramsIn(message, std::size_t(sent)));
  return sent;
}

extern "C" int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
  using Send = int (*)(int, mmsghdr*, unsigned int, int);
  static const Send next = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "sendmmsg"));
  const int sent = next(fd, messages, count, flags);
  if (sent > 0 && fromCountedPort(fd)) {
    std::size_t datagrams = 0;
    for (int i = 0; i < sent; ++i) datagrams += datagramsIn(&messages[i].msg_hdr, messages[i].msg_len);
    note(datagrams);
  }
  return sent;
}

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// The host answers each ping with a pong as soon as it has read it.
asio::awaitable<void> answerPings(std::shared_ptr<QUICConnection> host) {
  auto messages = host->messages();
  while (auto message = co_await messages.next()) {
    if (auto ping = message->as<msg::Ping>()) host->send(msg::Pong{ping->value});
  }
}

// Two threads run the context until the test ends, however it ends.
struct Running {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> threads;
  Running() {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~Running() {
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
  }
};

TEST(QUICAcknowledgement, AnAnswerAtOnceCarriesTheAcknowledgementOfWhatItAnswers) {
  Running running;
  asio::io_context& io = running.io;
  auto clock = std::make_shared<ManualClock>();
  const auto identity = testing::makeTestIdentity();

  auto listener = platform::QUICListener::make(io, makeQUICParameters(identity, nullptr, {}, io.get_executor()));
  ASSERT_FALSE(listener->listen({asio::ip::make_address("127.0.0.1"), 0}));
  countedPort = listener->port();
  std::mutex mutex;
  std::shared_ptr<QUICConnection> host;
  listener->setNewGroupHandler([&](std::shared_ptr<platform::QUICGroup> group) {
    auto connection = QUICConnection::makeHost(group, {}, clock);
    connection->start();
    std::lock_guard lock(mutex);
    host = connection;
  });
  auto device = QUICConnection::makeClient(io, {asio::ip::make_address("127.0.0.1"), listener->port()},
                                           ServerTrust::pinned(certificateFingerprint(identity.certificateDER)), {},
                                           clock);
  device->start();
  auto strand = makeStrand(io.get_executor());
  auto run = [&](auto operation) {
    auto future = asio::co_spawn(strand, std::move(operation), asio::use_future);
    if (future.wait_for(10s) != std::future_status::ready) throw std::runtime_error("coroutine did not finish");
    return future.get();
  };
  run(device->waitUntilReady());
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return host != nullptr;
  }));
  run(host->waitUntilReady());
  // On a strand of its own: the test's waits take turns on the other one.
  asio::co_spawn(makeStrand(io.get_executor()), answerPings(host), asio::detached);
  auto answers = device->messages();

  std::vector<std::size_t> datagrams;
  for (std::uint64_t round = 1; round <= 10; ++round) {
    // Quiet first: whatever the host still had to send has gone.
    ASSERT_TRUE(eventually([] { return sinceLastSent() > 50ms; }));
    const std::size_t before = counted;
    device->send(msg::Ping{round});
    auto answer = run(answers.next());
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, Message(msg::Pong{round}));
    std::this_thread::sleep_for(30ms);
    datagrams.push_back(counted - before);
  }
  countedPort = 0;
  // The answer reaches the connection as new work, which on a busy machine another thread may
  // take up only after the write that follows the read: that acknowledgement then leaves alone.
  // Written at once after the read, it always did.
  const auto carried = std::count(datagrams.begin(), datagrams.end(), std::size_t(1));
#if defined(__SANITIZE_THREAD__)
  // The race checker slows every handler many times over and so reorders the threads' turns:
  // there the exchanges only run for it to watch, and the count says nothing.
  (void)carried;
#else
  EXPECT_GE(carried, 7) << "datagrams the host sent for each ping: " << ::testing::PrintToString(datagrams);
#endif

  device->close();
  listener->cancel();
}

}  // namespace
}  // namespace brindlet
