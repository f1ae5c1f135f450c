#pragma once

// The host's client of the remote-access coordinator: enrolment with an invite code and relay
// tokens, each a signed JSON request posted over HTTPS. It keeps the last admission so that
// the relay service does not ask for a token while the one it has is still good.
//
//   auto client = CoordinatorClient::make(executor, "https://coordinator.example", signer, http, clock);
//   std::string account = co_await client->enroll("abcde-fghjk");      // throws CoordinatorError
//   RelayAdmission admission = co_await client->admission(false);       // cached while > 120 s left
//
// Every operation runs on the client's own strand. A cancelled caller gets
// asio::system_error(operation_aborted), never a CoordinatorError.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "kit/support/Actor.h"

namespace brindlet {

namespace platform {
class HTTPSession;
}

class RelaySigner;

struct RelayCandidate {
  std::string region;
  std::string host;
  std::uint16_t port = 0;

  bool operator==(const RelayCandidate&) const = default;
};

struct RelayAdmission {
  Bytes token;  // never empty
  std::vector<RelayCandidate> relays;
  std::chrono::system_clock::time_point expiresAt;

  bool operator==(const RelayAdmission&) const = default;
};

class CoordinatorError : public std::runtime_error {
 public:
  enum class Case {
    http,
    badBaseURL,
    malformedInvite,
    invalidInvite,
    badProof,
    rateLimited,
    notEnrolled,
    revoked,
    unreachable,
    badResponse
  };

  explicit CoordinatorError(Case kind);
  static CoordinatorError http(long status, std::optional<std::string> message);

  Case kind() const { return kind_; }
  long status() const { return status_; }
  const std::optional<std::string>& message() const { return message_; }
  // The coordinator no longer accepts this host.
  bool isFatal() const { return kind_ == Case::notEnrolled || kind_ == Case::revoked; }

  bool operator==(const CoordinatorError& other) const {
    return kind_ == other.kind_ && (kind_ != Case::http || (status_ == other.status_ && message_ == other.message_));
  }

 private:
  CoordinatorError(Case kind, long status, std::optional<std::string> message);
  Case kind_;
  long status_ = 0;
  std::optional<std::string> message_;
};

// The error for a status and an "error" code of the reply body.
CoordinatorError mapCoordinatorError(long status, const std::optional<std::string>& code);

class CoordinatorClient final : public Actor, public std::enable_shared_from_this<CoordinatorClient> {
 public:
  struct Request {
    std::string role = "host";
    std::string hostKey;  // base64url
    std::uint64_t ts = 0;
    std::string hostProof;  // base64url
    std::optional<std::string> region;
    std::string json() const;
  };
  struct EnrollRequest {
    std::string invite;
    std::string hostKey;
    std::uint64_t ts = 0;
    std::string hostProof;
    std::string json() const;
  };

  static constexpr Clock::Duration defaultRefreshMargin = std::chrono::seconds(120);

  // `baseURL` as given; no check.
  static std::shared_ptr<CoordinatorClient> make(const Executor& executor, std::string baseURL,
                                                 std::shared_ptr<RelaySigner> signer,
                                                 std::shared_ptr<platform::HTTPSession> session,
                                                 std::shared_ptr<Clock> clock, Clock::Duration refreshMargin);
  // From a text: trimmed; https, or http to a loopback address only, with a host; throws
  // CoordinatorError(badBaseURL) otherwise. Refresh margin 120 s.
  static std::shared_ptr<CoordinatorClient> make(const Executor& executor, std::string_view baseURLText,
                                                 std::shared_ptr<RelaySigner> signer,
                                                 std::shared_ptr<platform::HTTPSession> session,
                                                 std::shared_ptr<Clock> clock);

  const std::string& baseURL() const { return baseURL_; }

  Request makeTokenRequest(std::uint64_t ts, std::optional<std::string> region) const;
  EnrollRequest makeEnrollRequest(std::uint64_t ts, const std::string& invite) const;

  // The reply body of a 2xx answer to a POST of `body` to v1/<endpoint>.
  asio::awaitable<Bytes> post(std::string endpoint, std::string body);
  // The account label; malformedInvite without a request for a text that is no invite code.
  asio::awaitable<std::string> enroll(std::string invite);
  // Always asks the coordinator; the cache is not touched.
  asio::awaitable<RelayAdmission> fetchAdmission(std::optional<std::string> region);
  // The cached admission while it has more than the refresh margin left; otherwise (or when
  // forced) a fresh one, which is cached. A failed fetch leaves the cache as it was.
  asio::awaitable<RelayAdmission> admission(bool forceRefresh);
  asio::awaitable<std::optional<std::chrono::system_clock::time_point>> cachedExpiry();
  asio::awaitable<void> setCache(RelayAdmission admission);

  CoordinatorClient(const Executor& executor, std::string baseURL, std::shared_ptr<RelaySigner> signer,
                    std::shared_ptr<platform::HTTPSession> session, std::shared_ptr<Clock> clock,
                    Clock::Duration refreshMargin);

 private:
  std::uint64_t timestamp() const;
  asio::awaitable<Bytes> postIsolated(std::string endpoint, std::string body);
  asio::awaitable<std::string> enrollIsolated(std::string invite);
  asio::awaitable<RelayAdmission> fetchIsolated(std::optional<std::string> region);
  asio::awaitable<RelayAdmission> admissionIsolated(bool forceRefresh);
  asio::awaitable<std::optional<std::chrono::system_clock::time_point>> cachedExpiryIsolated();
  asio::awaitable<void> setCacheIsolated(RelayAdmission admission);

  const std::string baseURL_;
  const std::shared_ptr<RelaySigner> signer_;
  const std::shared_ptr<platform::HTTPSession> session_;
  const std::shared_ptr<Clock> clock_;
  const Clock::Duration refreshMargin_;
  std::optional<RelayAdmission> cache_;  // on the strand
};

// The coordinator's reply bodies; throw CoordinatorError(badResponse).
RelayAdmission decodeTokenReply(ByteView body);
std::string decodeEnrollReply(ByteView body);

}  // namespace brindlet
