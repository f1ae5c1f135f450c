#include "kit/relay/CoordinatorClient.h"

#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/system_error.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

#include "kit/pairing/AuthCrypto.h"
#include "kit/relay/InviteCode.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "kit/relay/RelayWire.h"
#include "platform/http/HTTPSession.h"

namespace brindlet {
namespace {

using nlohmann::json;

std::string describe(CoordinatorError::Case kind, long status, const std::optional<std::string>& message) {
  switch (kind) {
    case CoordinatorError::Case::http:
      return "The relay answered " + std::to_string(status) + (message ? ": " + *message : std::string()) + ".";
    case CoordinatorError::Case::badBaseURL:
      return "The relay address is not valid.";
    case CoordinatorError::Case::malformedInvite:
      return "That invite is not valid. It has 10 letters and digits.";
    case CoordinatorError::Case::invalidInvite:
      return "That invite is invalid, used or expired";
    case CoordinatorError::Case::badProof:
      return "The relay rejected this Mac's proof (is the clock right?)";
    case CoordinatorError::Case::rateLimited:
      return "Too many tries. Wait a minute and try again";
    case CoordinatorError::Case::notEnrolled:
    case CoordinatorError::Case::revoked:
      return "Remote access for this Mac was removed";
    case CoordinatorError::Case::unreachable:
      return "Can't reach the relay";
    case CoordinatorError::Case::badResponse:
      return "The relay sent an unexpected response.";
  }
  return "";
}

std::string trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string lowerASCII(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Scheme and host (without user, port or brackets) of "scheme://authority/..."; nothing when
// the text has no such form or no host.
std::optional<std::pair<std::string, std::string>> schemeAndHost(std::string_view url) {
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7F) return std::nullopt;
  std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string scheme = lowerASCII(std::string(url.substr(0, colon)));
  std::string_view authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string host;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = std::string(authority.substr(1, close - 1));
  } else {
    host = std::string(authority.substr(0, authority.find(':')));
  }
  if (host.empty()) return std::nullopt;
  return std::make_pair(scheme, lowerASCII(host));
}

bool isLoopbackHost(const std::string& host) {
  if (host == "localhost") return true;
  asio::error_code error;
  auto address = asio::ip::make_address(host, error);
  return !error && address.is_loopback();
}

Bytes bytesOfString(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

CoordinatorError::CoordinatorError(Case kind) : CoordinatorError(kind, 0, std::nullopt) {}

CoordinatorError::CoordinatorError(Case kind, long status, std::optional<std::string> message)
    : std::runtime_error(describe(kind, status, message)), kind_(kind), status_(status), message_(std::move(message)) {}

CoordinatorError CoordinatorError::http(long status, std::optional<std::string> message) {
  return CoordinatorError(Case::http, status, std::move(message));
}

CoordinatorError mapCoordinatorError(long status, const std::optional<std::string>& code) {
  if (status == 429) return CoordinatorError(CoordinatorError::Case::rateLimited);
  if (status == 403 && code == "bad_proof") return CoordinatorError(CoordinatorError::Case::badProof);
  if (status == 401 && code == "invalid_invite") return CoordinatorError(CoordinatorError::Case::invalidInvite);
  if (status == 401 && code == "not_enrolled") return CoordinatorError(CoordinatorError::Case::notEnrolled);
  if (status == 401 && code == "revoked") return CoordinatorError(CoordinatorError::Case::revoked);
  return CoordinatorError::http(status, code);
}

std::string CoordinatorClient::Request::json() const {
  nlohmann::json body{{"role", role}, {"host_key", hostKey}, {"ts", ts}, {"host_proof", hostProof}};
  if (region) body["region"] = *region;
  return body.dump();
}

std::string CoordinatorClient::EnrollRequest::json() const {
  return nlohmann::json{{"invite", invite}, {"host_key", hostKey}, {"ts", ts}, {"host_proof", hostProof}}.dump();
}

RelayAdmission decodeTokenReply(ByteView body) {
  const CoordinatorError bad(CoordinatorError::Case::badResponse);
  json reply = json::parse(body.begin(), body.end(), nullptr, false);
  if (!reply.is_object()) throw bad;
  auto token = reply.find("token");
  auto relays = reply.find("relays");
  auto expires = reply.find("expires_at");
  if (token == reply.end() || !token->is_string() || relays == reply.end() || !relays->is_array() ||
      expires == reply.end() || !expires->is_number_unsigned())
    throw bad;
  RelayAdmission admission;
  for (const auto& relay : *relays) {
    if (!relay.is_object()) throw bad;
    auto region = relay.find("region");
    auto host = relay.find("host");
    auto port = relay.find("port");
    if (region == relay.end() || !region->is_string() || host == relay.end() || !host->is_string() ||
        port == relay.end() || !port->is_number_unsigned() || port->get<std::uint64_t>() > 65535)
      throw bad;
    admission.relays.push_back(RelayCandidate{region->get<std::string>(), host->get<std::string>(),
                                              static_cast<std::uint16_t>(port->get<std::uint64_t>())});
  }
  auto decoded = AuthCrypto::base64URLDecode(token->get<std::string>());
  if (!decoded || decoded->empty()) throw bad;
  admission.token = std::move(*decoded);
  // Dates past the year 9999 are held as that year: the clock's range ends a few centuries on.
  std::uint64_t seconds = std::min<std::uint64_t>(expires->get<std::uint64_t>(), 253'402'300'799ULL);
  admission.expiresAt = std::chrono::system_clock::time_point(std::chrono::seconds(static_cast<std::int64_t>(seconds)));
  return admission;
}

std::string decodeEnrollReply(ByteView body) {
  json reply = json::parse(body.begin(), body.end(), nullptr, false);
  if (!reply.is_object()) throw CoordinatorError(CoordinatorError::Case::badResponse);
  auto account = reply.find("account");
  if (account == reply.end() || !account->is_string()) throw CoordinatorError(CoordinatorError::Case::badResponse);
  return account->get<std::string>();
}

CoordinatorClient::CoordinatorClient(const Executor& executor, std::string baseURL, std::shared_ptr<RelaySigner> signer,
                                     std::shared_ptr<platform::HTTPSession> session, std::shared_ptr<Clock> clock,
                                     Clock::Duration refreshMargin)
    : Actor(executor),
      baseURL_(std::move(baseURL)),
      signer_(std::move(signer)),
      session_(std::move(session)),
      clock_(std::move(clock)),
      refreshMargin_(refreshMargin) {}

std::shared_ptr<CoordinatorClient> CoordinatorClient::make(const Executor& executor, std::string baseURL,
                                                           std::shared_ptr<RelaySigner> signer,
                                                           std::shared_ptr<platform::HTTPSession> session,
                                                           std::shared_ptr<Clock> clock,
                                                           Clock::Duration refreshMargin) {
  return std::make_shared<CoordinatorClient>(executor, std::move(baseURL), std::move(signer), std::move(session),
                                             std::move(clock), refreshMargin);
}

std::shared_ptr<CoordinatorClient> CoordinatorClient::make(const Executor& executor, std::string_view baseURLText,
                                                           std::shared_ptr<RelaySigner> signer,
                                                           std::shared_ptr<platform::HTTPSession> session,
                                                           std::shared_ptr<Clock> clock) {
  std::string text = trim(baseURLText);
  auto parts = schemeAndHost(text);
  // Invite codes, proofs and relay tokens travel in these requests: plain http only where it
  // never leaves this machine.
  if (!parts || !(parts->first == "https" || (parts->first == "http" && isLoopbackHost(parts->second))))
    throw CoordinatorError(CoordinatorError::Case::badBaseURL);
  return make(executor, std::move(text), std::move(signer), std::move(session), std::move(clock), defaultRefreshMargin);
}

std::uint64_t CoordinatorClient::timestamp() const { return unixSeconds(clock_->wallNow()); }

CoordinatorClient::Request CoordinatorClient::makeTokenRequest(std::uint64_t ts,
                                                               std::optional<std::string> region) const {
  const Bytes& key = signer_->publicKey();
  Request request;
  request.hostKey = AuthCrypto::base64URLEncode(key);
  request.ts = ts;
  request.hostProof = AuthCrypto::base64URLEncode(signer_->sign(RelayWire::coordinatorMessage(ts, key)));
  request.region = std::move(region);
  return request;
}

CoordinatorClient::EnrollRequest CoordinatorClient::makeEnrollRequest(std::uint64_t ts,
                                                                      const std::string& invite) const {
  const Bytes& key = signer_->publicKey();
  EnrollRequest request;
  request.invite = invite;
  request.hostKey = AuthCrypto::base64URLEncode(key);
  request.ts = ts;
  request.hostProof = AuthCrypto::base64URLEncode(signer_->sign(RelayWire::enrollMessage(ts, key, invite)));
  return request;
}

asio::awaitable<Bytes> CoordinatorClient::post(std::string endpoint, std::string body) {
  return isolated(postIsolated(std::move(endpoint), std::move(body)));
}

asio::awaitable<Bytes> CoordinatorClient::postIsolated(std::string endpoint, std::string body) {
  platform::HTTPRequest request;
  request.url = baseURL_;
  if (request.url.empty() || request.url.back() != '/') request.url += '/';
  request.url += "v1/" + endpoint;
  request.method = "POST";
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = bytesOfString(body);
  request.timeout = std::chrono::seconds(10);
  platform::HTTPResponse response;
  try {
    response = co_await session_->send(std::move(request));
  } catch (const platform::HTTPError& error) {
    if (error.kind() == platform::HTTPError::Case::cancelled) throw asio::system_error(asio::error::operation_aborted);
    throw CoordinatorError(CoordinatorError::Case::unreachable);
  }
  if (response.status < 100) throw CoordinatorError(CoordinatorError::Case::badResponse);
  if (response.status >= 200 && response.status <= 299) co_return std::move(response.body);
  std::optional<std::string> code;
  json reply = json::parse(response.body.begin(), response.body.end(), nullptr, false);
  if (reply.is_object()) {
    auto error = reply.find("error");
    if (error != reply.end() && error->is_string()) code = error->get<std::string>();
  }
  throw mapCoordinatorError(response.status, code);
}

asio::awaitable<std::string> CoordinatorClient::enroll(std::string invite) {
  return isolated(enrollIsolated(std::move(invite)));
}

asio::awaitable<std::string> CoordinatorClient::enrollIsolated(std::string invite) {
  auto code = InviteCode::normalize(invite);
  if (!code) throw CoordinatorError(CoordinatorError::Case::malformedInvite);
  std::string body = makeEnrollRequest(timestamp(), *code).json();
  Bytes reply = co_await postIsolated("enroll", std::move(body));
  co_return decodeEnrollReply(reply);
}

asio::awaitable<RelayAdmission> CoordinatorClient::fetchAdmission(std::optional<std::string> region) {
  return isolated(fetchIsolated(std::move(region)));
}

asio::awaitable<RelayAdmission> CoordinatorClient::fetchIsolated(std::optional<std::string> region) {
  std::string body = makeTokenRequest(timestamp(), std::move(region)).json();
  Bytes reply = co_await postIsolated("token", std::move(body));
  co_return decodeTokenReply(reply);
}

asio::awaitable<RelayAdmission> CoordinatorClient::admission(bool forceRefresh) {
  return isolated(admissionIsolated(forceRefresh));
}

asio::awaitable<RelayAdmission> CoordinatorClient::admissionIsolated(bool forceRefresh) {
  if (!forceRefresh && cache_ && cache_->expiresAt - clock_->wallNow() > refreshMargin_) co_return *cache_;
  RelayAdmission fresh = co_await fetchIsolated(std::nullopt);
  cache_ = fresh;
  co_return fresh;
}

asio::awaitable<std::optional<std::chrono::system_clock::time_point>> CoordinatorClient::cachedExpiry() {
  return isolated(cachedExpiryIsolated());
}

asio::awaitable<std::optional<std::chrono::system_clock::time_point>> CoordinatorClient::cachedExpiryIsolated() {
  if (!cache_) co_return std::nullopt;
  co_return cache_->expiresAt;
}

asio::awaitable<void> CoordinatorClient::setCache(RelayAdmission admission) {
  return isolated(setCacheIsolated(std::move(admission)));
}

asio::awaitable<void> CoordinatorClient::setCacheIsolated(RelayAdmission admission) {
  cache_ = std::move(admission);
  co_return;
}

}  // namespace brindlet
