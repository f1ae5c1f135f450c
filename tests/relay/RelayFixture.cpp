#include "relay/RelayFixture.h"

#include <asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include "kit/support/SystemClock.h"
#include "platform/crypto/SecureRandom.h"

namespace brindlet::testing {

RelayFixture::RelayFixture()
    : secret(platform::secureRandomBytes(32)),
      relay(std::make_unique<TestRelay>(io.get_executor(), secret)),
      hostSigner(std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate())),
      clock(SystemClock::shared()) {
  relay->start();
}

RelayFixture::~RelayFixture() {
  if (coordinator) coordinator->stop();
  relay->stop();
}

void RelayFixture::startCoordinator(std::vector<std::string> relays, std::vector<std::string> extra) {
  if (relays.empty()) relays.push_back("127.0.0.1:" + std::to_string(relay->port()) + ":sin");
  std::vector<std::string> arguments{
      BRINDLET_TEST_COORDINATOR, "--dir", folder.string(), "--secret", toHex(secret), "--invite", "ABCDEFGHJK=Family"};
  for (const auto& r : relays) {
    arguments.push_back("--relay");
    arguments.push_back(r);
  }
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  coordinator = std::make_unique<ChildProcess>("/usr/bin/python3", arguments, ChildProcess::Environment{});
  ASSERT_TRUE(coordinator->waitForOutput("port ", std::chrono::seconds(20))) << coordinator->output();
  ASSERT_TRUE(eventually([&] { return coordinator->output().find('\n') != std::string::npos; }));
  std::string output = coordinator->output();
  coordinatorPort = static_cast<std::uint16_t>(std::stoi(output.substr(output.find("port ") + 5)));
  platform::HTTPSessionOptions options;
  options.caFile = (folder / "cert.pem").string();
  http = platform::makeHTTPSession(io.get_executor(), options);
}

std::shared_ptr<CoordinatorClient> RelayFixture::makeClient(std::shared_ptr<platform::HTTPSession> session) {
  return CoordinatorClient::make(io.get_executor(), coordinatorURL(), hostSigner, session ? session : http, clock);
}

std::string RelayFixture::admin(const std::string& path, const std::string& body) {
  platform::HTTPRequest request;
  request.url = coordinatorURL() + path;
  request.method = "POST";
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = bytesOf(body);
  request.timeout = std::chrono::seconds(10);
  auto session = http;
  auto response = await(session->send(request));
  return std::string(response.body.begin(), response.body.end());
}

int RelayFixture::tokenRequests() {
  platform::HTTPRequest request;
  request.url = coordinatorURL() + "/admin/stats";
  auto session = http;
  auto response = await(session->send(request));
  return nlohmann::json::parse(response.body.begin(), response.body.end())["token"].get<int>();
}

void RelayFixture::enrol(const std::shared_ptr<CoordinatorClient>& client) {
  EXPECT_EQ(await(client->enroll("abcde-fghjk")), "Family");
}

}  // namespace brindlet::testing
