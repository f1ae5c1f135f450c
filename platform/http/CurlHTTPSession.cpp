#include <curl/curl.h>

#include <asio/async_result.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "platform/http/HTTPSession.h"
#include "platform/support/WorkerThread.h"

namespace brindlet::platform {
namespace {

struct Transfer {
  HTTPRequest request;
  std::atomic<bool> cancelled{false};
  // Called once, on the session's thread, with the outcome.
  std::function<void(std::exception_ptr, HTTPResponse)> done;
};

// The reply's body as it comes, up to maxReplyBytes.
struct Body {
  Bytes bytes;
  bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const std::size_t length = size * count;
  if (length > maxReplyBytes - body->bytes.size()) {
    body->tooLarge = true;
    return 0;  // ends the transfer
  }
  body->bytes.insert(body->bytes.end(), reinterpret_cast<std::uint8_t*>(data),
                     reinterpret_cast<std::uint8_t*>(data) + length);
  return length;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->cancelled.load() ? 1 : 0;
}

class CurlHTTPSession final : public HTTPSession, public std::enable_shared_from_this<CurlHTTPSession> {
 public:
  CurlHTTPSession(asio::any_io_executor executor, HTTPSessionOptions options)
      : executor_(std::move(executor)), options_(std::move(options)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    thread_ = WorkerThread([this](std::stop_token stop) { run(stop); },
                           [this] {
                             std::lock_guard lock(mutex_);
                             for (auto& transfer : queue_) transfer->cancelled = true;
                             if (current_) current_->cancelled = true;
                             wake_.notify_all();
                           });
  }
  ~CurlHTTPSession() override { thread_.stop(); }

  asio::awaitable<HTTPResponse> send(HTTPRequest request) override {
    auto transfer = std::make_shared<Transfer>();
    transfer->request = std::move(request);
    auto initiation = [this, transfer](auto handler) { start(transfer, std::move(handler)); };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, HTTPResponse)>(
        initiation, asio::use_awaitable);
  }

 private:
  template <class Handler>
  void start(const std::shared_ptr<Transfer>& transfer, Handler handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      std::weak_ptr<Transfer> weak = transfer;
      slot.assign([weak](asio::cancellation_type) {
        if (auto t = weak.lock()) t->cancelled = true;
      });
    }
    auto shared = std::make_shared<Handler>(std::move(handler));
    auto executor = executor_;
    transfer->done = [shared, executor](std::exception_ptr error, HTTPResponse response) {
      auto work = asio::get_associated_executor(*shared, executor);
      asio::post(work,
                 [shared, error, response = std::move(response)]() mutable { (*shared)(error, std::move(response)); });
    };
    std::lock_guard lock(mutex_);
    queue_.push_back(transfer);
    wake_.notify_all();
  }

  void run(std::stop_token stop) {
    for (;;) {
      std::shared_ptr<Transfer> transfer;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop.stop_requested() || !queue_.empty(); });
        if (queue_.empty()) return;
        transfer = queue_.front();
        queue_.pop_front();
        current_ = transfer;
        if (stop.stop_requested()) transfer->cancelled = true;
      }
      perform(*transfer);
      std::lock_guard lock(mutex_);
      current_.reset();
    }
  }

  void perform(Transfer& transfer) {
    if (transfer.cancelled) {
      transfer.done(std::make_exception_ptr(HTTPError(HTTPError::Case::cancelled, "cancelled")), {});
      return;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
      transfer.done(std::make_exception_ptr(HTTPError(HTTPError::Case::transport, "curl_easy_init failed")), {});
      return;
    }
    const HTTPRequest& request = transfer.request;
    HTTPResponse response;
    Body body;
    struct curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers)
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    char message[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method != "GET") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(request.body.data()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(request.timeout).count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    if (options_.caFile) curl_easy_setopt(curl, CURLOPT_CAINFO, options_.caFile->c_str());
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (code == CURLE_ABORTED_BY_CALLBACK || transfer.cancelled) {
      transfer.done(std::make_exception_ptr(HTTPError(HTTPError::Case::cancelled, "cancelled")), {});
    } else if (body.tooLarge) {
      transfer.done(
          std::make_exception_ptr(HTTPError(HTTPError::Case::transport,
                                            "The reply is larger than " + std::to_string(maxReplyBytes) + " bytes")),
          {});
    } else if (code != CURLE_OK) {
      std::string what = message[0] ? message : curl_easy_strerror(code);
      transfer.done(std::make_exception_ptr(HTTPError(HTTPError::Case::transport, what)), {});
    } else {
      response.body = std::move(body.bytes);
      transfer.done(nullptr, std::move(response));
    }
  }

  asio::any_io_executor executor_;
  HTTPSessionOptions options_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Transfer>> queue_;
  std::shared_ptr<Transfer> current_;
  WorkerThread thread_;
};

}  // namespace

std::shared_ptr<HTTPSession> makeHTTPSession(const asio::any_io_executor& executor, HTTPSessionOptions options) {
  return std::make_shared<CurlHTTPSession>(executor, std::move(options));
}

}  // namespace brindlet::platform
