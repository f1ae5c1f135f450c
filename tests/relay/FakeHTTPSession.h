#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HTTPSession.h"

namespace brindlet::testing {

// Answers each request with the next scripted reply (or a transport failure) and keeps the
// requests it was sent.
class FakeHTTPSession final : public platform::HTTPSession {
 public:
  struct Reply {
    long status = 200;
    std::string body;
    bool transportFailure = false;
  };

  void script(Reply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
  }
  std::vector<platform::HTTPRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  asio::awaitable<platform::HTTPResponse> send(platform::HTTPRequest request) override {
    Reply reply;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      if (!replies_.empty()) {
        reply = replies_.front();
        replies_.pop_front();
      } else {
        reply.transportFailure = true;
      }
    }
    if (reply.transportFailure) throw platform::HTTPError(platform::HTTPError::Case::transport, "no route");
    platform::HTTPResponse response;
    response.status = reply.status;
    response.body.assign(reply.body.begin(), reply.body.end());
    co_return response;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<Reply> replies_;
  std::vector<platform::HTTPRequest> requests_;
};

}  // namespace brindlet::testing
