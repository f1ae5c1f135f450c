#pragma once

// The remote-access services of tests on loopback: the test relay in-process and the test
// coordinator as a program of its own over HTTPS with a certificate made for the test, plus the
// host's signer and a coordinator client that trusts that certificate.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/RelayHostService.h"
#include "kit/relay/RelaySigner.h"
#include "platform/http/HTTPSession.h"
#include "platform/quic/Eventually.h"
#include "relay/TestRelay.h"
#include "support/ChildProcess.h"
#include "transport/discovery/ListenerFixture.h"

namespace brindlet::testing {

// The tunnels' and the service's intervals, shortened so that a test runs in a second or two.
inline RelayTunnel::Options quickTunnel() {
  RelayTunnel::Options options;
  options.keepaliveInterval = std::chrono::milliseconds(200);
  options.retryInterval = std::chrono::milliseconds(100);
  options.reconnectDelay = std::chrono::milliseconds(100);
  return options;
}

inline RelayHostService::Options quickService() {
  RelayHostService::Options options;
  options.retryBackoff = {std::chrono::milliseconds(50), std::chrono::milliseconds(100)};
  options.keepaliveInterval = std::chrono::milliseconds(200);
  options.tunnel = quickTunnel();
  return options;
}

class RelayFixture : public ListenerFixture {
 protected:
  RelayFixture();
  ~RelayFixture() override;

  // Starts the coordinator with `relays` ("HOST:PORT:REGION"; nothing: the test relay in
  // "sin") and the invite ABCDEFGHJK for the account "Family".
  void startCoordinator(std::vector<std::string> relays = {}, std::vector<std::string> extra = {});
  std::string coordinatorURL() const { return "https://127.0.0.1:" + std::to_string(coordinatorPort); }
  std::shared_ptr<CoordinatorClient> makeClient(std::shared_ptr<platform::HTTPSession> session = nullptr);
  // The coordinator's answer to an administrative request.
  std::string admin(const std::string& path, const std::string& body);
  // How many token requests the coordinator was sent.
  int tokenRequests();
  // Enrols the host with the invite.
  void enrol(const std::shared_ptr<CoordinatorClient>& client);

  Bytes secret;
  std::unique_ptr<TestRelay> relay;
  std::unique_ptr<ChildProcess> coordinator;
  std::uint16_t coordinatorPort = 0;
  std::shared_ptr<platform::HTTPSession> http;
  std::shared_ptr<RelaySigner> hostSigner;
  std::shared_ptr<Clock> clock;
};

}  // namespace brindlet::testing
