// Replies of a small HTTP server on the loopback interface, as the session takes them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "platform/http/HTTPSession.h"

namespace brindlet::platform {
namespace {

// Answers one request on 127.0.0.1 with a body of `size` bytes, then closes.
class OneReplyServer {
 public:
  explicit OneReplyServer(std::size_t size) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("no loopback listener");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, size] { serve(size); });
  }
  ~OneReplyServer() {
    thread_.join();
    close(listener_);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/reply"; }

 private:
  void serve(std::size_t size) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 10'000) != 1) return;
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{client, POLLIN, 0};
      if (poll(&readable, 1, 10'000) != 1) break;
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\nConnection: close\r\n\r\n" +
                        std::string(size, 'b');
    // The client may stop reading part way: a failed send ends the reply.
    for (std::size_t sent = 0; sent < reply.size();) {
      ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(HTTPSession, RepliesUpToTheLimitAreTakenLongerOnesFailClearly) {
  for (std::size_t size : {std::size_t{0}, maxReplyBytes, maxReplyBytes + 1, 3 * maxReplyBytes}) {
    SCOPED_TRACE(size);
    OneReplyServer server(size);
    asio::io_context io;
    auto session = makeHTTPSession(io.get_executor(), {});
    HTTPRequest request{server.url(), "GET", {}, {}, std::chrono::seconds(20)};
    auto reply = asio::co_spawn(io, session->send(request), asio::use_future);
    io.run();
    if (size <= maxReplyBytes) {
      HTTPResponse response = reply.get();
      EXPECT_EQ(response.status, 200);
      EXPECT_EQ(response.body, Bytes(size, 'b'));
    } else {
      try {
        reply.get();
        ADD_FAILURE() << "a reply past the limit was taken";
      } catch (const HTTPError& error) {
        EXPECT_EQ(error.kind(), HTTPError::Case::transport);
        EXPECT_STREQ(error.what(), "The reply is larger than 1048576 bytes");
      }
    }
  }
}

}  // namespace
}  // namespace brindlet::platform
