#pragma once

// HTTP requests for the few services the host talks to over HTTPS (the remote-access
// coordinator). One request at a time per session; the awaiting caller may be cancelled.
//
//   auto session = makeHTTPSession(executor, {});            // the system's CA store
//   HTTPRequest request{"https://example.net/v1/token", "POST", {{"Content-Type", "application/json"}}, body, 10s};
//   HTTPResponse response = co_await session->send(request);  // throws HTTPError
//   if (response.status == 200) ... response.body ...

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "base/Bytes.h"

namespace brindlet::platform {

struct HTTPRequest {
  std::string url;
  std::string method = "GET";
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;
  std::chrono::nanoseconds timeout = std::chrono::seconds(60);
};

// The largest reply body taken; a longer one fails the request.
inline constexpr std::size_t maxReplyBytes = 1024 * 1024;

struct HTTPResponse {
  long status = 0;
  Bytes body;
};

// A request that got no HTTP answer: the transfer failed (no route, refused, TLS, time-out,
// a body past maxReplyBytes), or the caller was cancelled.
class HTTPError : public std::runtime_error {
 public:
  enum class Case { transport, cancelled };
  HTTPError(Case kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Case kind() const { return kind_; }

 private:
  Case kind_;
};

class HTTPSession {
 public:
  virtual ~HTTPSession() = default;
  // The reply, whatever its status. Cancelling the caller ends the transfer and throws
  // cancelled. Redirects are not followed.
  virtual asio::awaitable<HTTPResponse> send(HTTPRequest request) = 0;
};

struct HTTPSessionOptions {
  // A PEM file of the certificate authorities to trust instead of the system's store.
  std::optional<std::string> caFile;
};

// libcurl on a thread of the session's own; replies are delivered on `executor`. Only http
// and https URLs are fetched.
std::shared_ptr<HTTPSession> makeHTTPSession(const asio::any_io_executor& executor, HTTPSessionOptions options);

}  // namespace brindlet::platform
