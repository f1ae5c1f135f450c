#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kit/pairing/AuthCrypto.h"
#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/RelaySigner.h"
#include "kit/relay/RelayWire.h"
#include "relay/FakeHTTPSession.h"
#include "support/TestLoop.h"

namespace brindlet {
namespace {

using testing::FakeHTTPSession;
using namespace std::chrono_literals;

class CoordinatorClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<CoordinatorClient> make(std::string_view url = "https://coordinator.test/base") {
    return CoordinatorClient::make(loop.io.get_executor(), url, signer, http, loop.clock);
  }

  // Runs `op` to its end on the loop and gives its result or rethrows its exception.
  template <class T>
  T run(asio::awaitable<T> op) {
    std::optional<T> result;
    std::exception_ptr failure;
    bool done = false;
    Task task = Task::spawn(loop.strand(), capture(std::move(op), result, failure, done));
    EXPECT_TRUE(loop.runUntil([&] { return done; }));
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }

  template <class T>
  static asio::awaitable<void> capture(asio::awaitable<T> op, std::optional<T>& result, std::exception_ptr& failure,
                                       bool& done) {
    try {
      result.emplace(co_await std::move(op));
    } catch (...) {
      failure = std::current_exception();
    }
    done = true;
  }

  CoordinatorError runFailing(asio::awaitable<RelayAdmission> op) {
    try {
      run(std::move(op));
    } catch (const CoordinatorError& error) {
      return error;
    }
    ADD_FAILURE() << "no CoordinatorError";
    return CoordinatorError(CoordinatorError::Case::badResponse);
  }

  static std::string tokenReply(std::int64_t expiresAt, std::string token = "AQID", int port = 4000) {
    return R"({"token":")" + token + R"(","relays":[{"region":"sin","host":"127.0.0.1","port":)" +
           std::to_string(port) + R"(},{"region":"fra","host":"relay2","port":5}],"expires_at":)" +
           std::to_string(expiresAt) + "}";
  }

  std::int64_t nowSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(loop.clock->wallNow().time_since_epoch()).count();
  }

  testing::TestLoop loop;
  std::shared_ptr<P256RelaySigner> signer = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  std::shared_ptr<FakeHTTPSession> http = std::make_shared<FakeHTTPSession>();
};

TEST_F(CoordinatorClientTest, BaseAddressesNeedHTTPSOrLoopback) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {"  https://coordinator.test/api \n", true},
      {"HTTPS://coordinator.test", true},
      {"https://user@coordinator.test:8443/x", true},
      {"http://127.0.0.1:8080", true},
      {"http://localhost:8080/", true},
      {"http://[::1]:8080", true},
      {"http://coordinator.test", false},  // invites, proofs and tokens would travel in clear
      {"http://10.0.0.1", false},
      {"ftp://coordinator.test", false},
      {"https://", false},
      {"https:///path", false},
      {"coordinator.test", false},
      {"", false},
  };
  for (const auto& c : cases) {
    bool accepted = true;
    try {
      make(c.text);
    } catch (const CoordinatorError& error) {
      EXPECT_EQ(error.kind(), CoordinatorError::Case::badBaseURL);
      EXPECT_STREQ(error.what(), "The relay address is not valid.");
      accepted = false;
    }
    EXPECT_EQ(accepted, c.accepted) << c.text;
  }
  EXPECT_EQ(make(" https://c.test/a\n")->baseURL(), "https://c.test/a");
}

TEST_F(CoordinatorClientTest, TokenRequestIsSignedAndPostedToV1Token) {
  http->script({200, tokenReply(nowSeconds() + 3600)});
  auto client = make();
  RelayAdmission admission = run(client->fetchAdmission(std::nullopt));
  EXPECT_EQ(admission.token, (Bytes{1, 2, 3}));
  ASSERT_EQ(admission.relays.size(), 2u);
  EXPECT_EQ(admission.relays[0], (RelayCandidate{"sin", "127.0.0.1", 4000}));
  EXPECT_EQ(admission.relays[1], (RelayCandidate{"fra", "relay2", 5}));

  auto requests = http->requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.url, "https://coordinator.test/base/v1/token");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.timeout, 10s);
  ASSERT_EQ(request.headers.size(), 1u);
  EXPECT_EQ(request.headers[0], (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
  auto body = nlohmann::json::parse(request.body.begin(), request.body.end());
  EXPECT_EQ(body["role"], "host");
  EXPECT_FALSE(body.contains("region"));
  EXPECT_EQ(body["ts"].get<std::uint64_t>(), static_cast<std::uint64_t>(nowSeconds()));
  EXPECT_EQ(AuthCrypto::base64URLDecode(body["host_key"].get<std::string>()), signer->publicKey());
  auto proof = AuthCrypto::base64URLDecode(body["host_proof"].get<std::string>());
  ASSERT_TRUE(proof);
  EXPECT_TRUE(
      verifyP256Signature(*proof, RelayWire::coordinatorMessage(body["ts"], signer->publicKey()), signer->publicKey()));
}

TEST_F(CoordinatorClientTest, EnrolmentSendsTheNormalisedCodeUnderItsProof) {
  http->script({200, R"({"account":"Family","extra":1})"});
  auto client = make("https://coordinator.test/");
  EXPECT_EQ(run(client->enroll(" abcde-fghjk ")), "Family");
  auto request = http->requests().at(0);
  EXPECT_EQ(request.url, "https://coordinator.test/v1/enroll");
  auto body = nlohmann::json::parse(request.body.begin(), request.body.end());
  EXPECT_EQ(body["invite"], "ABCDEFGHJK");
  EXPECT_FALSE(body.contains("role"));
  auto proof = AuthCrypto::base64URLDecode(body["host_proof"].get<std::string>());
  EXPECT_TRUE(verifyP256Signature(*proof, RelayWire::enrollMessage(body["ts"], signer->publicKey(), "ABCDEFGHJK"),
                                  signer->publicKey()));
}

TEST_F(CoordinatorClientTest, MalformedInviteSendsNothing) {
  auto client = make();
  try {
    run(client->enroll("ABCDE"));
    FAIL();
  } catch (const CoordinatorError& error) {
    EXPECT_EQ(error.kind(), CoordinatorError::Case::malformedInvite);
    EXPECT_STREQ(error.what(), "That invite is not valid. It has 10 letters and digits.");
  }
  EXPECT_TRUE(http->requests().empty());
}

TEST_F(CoordinatorClientTest, FailuresMapToTheirTexts) {
  struct Case {
    FakeHTTPSession::Reply reply;
    CoordinatorError::Case kind;
    std::string text;
  };
  const Case cases[] = {
      {{429, "whatever"}, CoordinatorError::Case::rateLimited, "Too many tries. Wait a minute and try again"},
      {{429, R"({"error":"revoked"})"},
       CoordinatorError::Case::rateLimited,
       "Too many tries. Wait a minute and try again"},
      {{403, R"({"error":"bad_proof"})"},
       CoordinatorError::Case::badProof,
       "The relay rejected this Mac's proof (is the clock right?)"},
      {{403, ""}, CoordinatorError::Case::http, "The relay answered 403."},
      {{401, R"({"error":"invalid_invite"})"},
       CoordinatorError::Case::invalidInvite,
       "That invite is invalid, used or expired"},
      {{401, R"({"error":"not_enrolled"})"},
       CoordinatorError::Case::notEnrolled,
       "Remote access for this Mac was removed"},
      {{401, R"({"error":"revoked"})"}, CoordinatorError::Case::revoked, "Remote access for this Mac was removed"},
      {{401, R"({"error":"nope"})"}, CoordinatorError::Case::http, "The relay answered 401: nope."},
      {{500, "<html>"}, CoordinatorError::Case::http, "The relay answered 500."},
      {{0, "", true}, CoordinatorError::Case::unreachable, "Can't reach the relay"},
      {{200, "{}"}, CoordinatorError::Case::badResponse, "The relay sent an unexpected response."},
      {{200, R"({"token":"","relays":[],"expires_at":5})"},
       CoordinatorError::Case::badResponse,
       "The relay sent an unexpected response."},
      {{200, tokenReply(5, "AQID", 70000)},
       CoordinatorError::Case::badResponse,
       "The relay sent an unexpected response."},
      {{200, tokenReply(5, "A")}, CoordinatorError::Case::badResponse, "The relay sent an unexpected response."},
      {{200, R"({"token":"AQID","relays":[],"expires_at":"5"})"},
       CoordinatorError::Case::badResponse,
       "The relay sent an unexpected response."},
  };
  auto client = make();
  for (const auto& c : cases) {
    http->script(c.reply);
    CoordinatorError error = runFailing(client->fetchAdmission(std::nullopt));
    EXPECT_EQ(error.kind(), c.kind) << c.reply.status << " " << c.reply.body;
    EXPECT_EQ(std::string(error.what()), c.text) << c.reply.status << " " << c.reply.body;
  }
  EXPECT_TRUE(mapCoordinatorError(401, "revoked").isFatal());
  EXPECT_TRUE(mapCoordinatorError(401, "not_enrolled").isFatal());
  EXPECT_FALSE(mapCoordinatorError(401, "invalid_invite").isFatal());
  EXPECT_EQ(mapCoordinatorError(401, "x"), CoordinatorError::http(401, "x"));
  EXPECT_FALSE(mapCoordinatorError(401, "x") == CoordinatorError::http(401, "y"));
}

TEST_F(CoordinatorClientTest, TokenWithoutPaddingDecodes) {
  http->script({200, tokenReply(nowSeconds() + 3600, "AQIDBA")});  // 6 characters: "==" appended
  EXPECT_EQ(run(make()->fetchAdmission(std::nullopt)).token, (Bytes{1, 2, 3, 4}));
}

TEST_F(CoordinatorClientTest, CachedAdmissionIsUsedWhileMoreThanTheMarginIsLeft) {
  auto client = make();
  http->script({200, tokenReply(nowSeconds() + 121)});
  RelayAdmission first = run(client->admission(false));
  EXPECT_EQ(run(client->admission(false)), first);  // 121 s left: no request
  EXPECT_EQ(http->requests().size(), 1u);
  loop.clock->advance(1s);  // exactly 120 s left: refreshed
  http->script({200, tokenReply(nowSeconds() + 3600, "BAUG")});
  EXPECT_EQ(run(client->admission(false)).token, (Bytes{4, 5, 6}));
  EXPECT_EQ(http->requests().size(), 2u);
  http->script({200, tokenReply(nowSeconds() + 7200, "BwgJ")});
  EXPECT_EQ(run(client->admission(true)).token, (Bytes{7, 8, 9}));  // forced
  EXPECT_EQ(http->requests().size(), 3u);
  // A failed fetch keeps the cache.
  http->script({500, ""});
  EXPECT_EQ(runFailing(client->admission(true)).kind(), CoordinatorError::Case::http);
  auto expiry = run(client->cachedExpiry());
  ASSERT_TRUE(expiry);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(expiry->time_since_epoch()).count(), nowSeconds() + 7200);
}

TEST_F(CoordinatorClientTest, ClockBefore1970SendsZero) {
  auto client = make();
  auto request = client->makeTokenRequest(0, "sin");
  auto body = nlohmann::json::parse(request.json());
  EXPECT_EQ(body["region"], "sin");
  auto before = std::make_shared<ManualClock>(std::chrono::hours(1),
                                              std::chrono::system_clock::time_point(std::chrono::seconds(-50)));
  auto early = CoordinatorClient::make(loop.io.get_executor(), "https://c.test", signer, http, before);
  http->script({200, tokenReply(100)});
  run(early->fetchAdmission(std::nullopt));
  auto sent = http->requests().back();
  EXPECT_EQ(nlohmann::json::parse(sent.body.begin(), sent.body.end())["ts"].get<std::uint64_t>(), 0u);
}

}  // namespace
}  // namespace brindlet
