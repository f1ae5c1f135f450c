#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>

#include "platform/quic/Eventually.h"
#include "platform/quic/QUICGroup.h"
#include "platform/quic/QUICListener.h"
#include "platform/quic/QUICTypes.h"
#include "platform/quic/TestCertificate.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using testing::makeTestIdentity;
using testing::sha256;

using testing::eventually;

// Records what the handlers of one group report, for the test thread to look at.
struct GroupLog {
  std::mutex mutex;
  std::vector<QUICGroupState> states;
  std::string lastError;
  std::vector<std::shared_ptr<QUICStream>> incoming;

  void attach(const std::shared_ptr<QUICGroup>& group) {
    group->setStateHandler([this](QUICGroupState state, std::optional<QUICTransportError> error) {
      std::lock_guard lock(mutex);
      states.push_back(state);
      if (error) lastError = error->text;
    });
    group->setNewStreamHandler([this](std::shared_ptr<QUICStream> stream) {
      std::lock_guard lock(mutex);
      incoming.push_back(std::move(stream));
    });
  }
  bool has(QUICGroupState state) {
    std::lock_guard lock(mutex);
    return std::find(states.begin(), states.end(), state) != states.end();
  }
  std::string error() {
    std::lock_guard lock(mutex);
    return lastError;
  }
  std::size_t streamCount() {
    std::lock_guard lock(mutex);
    return incoming.size();
  }
  std::shared_ptr<QUICStream> stream(std::size_t index) {
    std::lock_guard lock(mutex);
    return incoming.at(index);
  }
};

// Reads a stream to its end (or `limit` bytes), collecting what arrives.
struct Reader {
  std::mutex mutex;
  Bytes data;
  bool complete = false;
  std::string error;

  void start(std::shared_ptr<QUICStream> stream, std::size_t limit = SIZE_MAX, std::size_t maximum = 65536) {
    stream->receive(
        1, maximum,
        [this, stream, limit, maximum](Bytes content, bool isComplete, std::optional<QUICTransportError> failure) {
          std::size_t total;
          {
            std::lock_guard lock(mutex);
            data.insert(data.end(), content.begin(), content.end());
            complete = isComplete;
            if (failure) error = failure->text;
            total = data.size();
          }
          if (!isComplete && !failure && total < limit) start(stream, limit, maximum);
        });
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return data.size();
  }
  bool isComplete() {
    std::lock_guard lock(mutex);
    return complete;
  }
  std::string failure() {
    std::lock_guard lock(mutex);
    return error;
  }
};

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 12));
  return out;
}

class QUICLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { context.run(); });
    serverIdentity = makeTestIdentity();
  }
  void TearDown() override {
    if (listener) listener->cancel();
    work.reset();
    context.stop();
    for (auto& thread : threads) thread.join();
  }

  QUICParameters serverParameters() {
    QUICParameters parameters;
    parameters.applicationProtocols = {"nolu/1"};
    parameters.localIdentity = serverIdentity;
    return parameters;
  }
  QUICParameters clientParameters() {
    QUICParameters parameters;
    parameters.applicationProtocols = {"nolu/1"};
    return parameters;
  }

  void listen(QUICParameters parameters) {
    listener = QUICListener::make(context, std::move(parameters));
    ASSERT_FALSE(listener->listen(asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)));
    listener->setNewGroupHandler([this](std::shared_ptr<QUICGroup> group) {
      auto log = std::make_shared<GroupLog>();
      log->attach(group);
      group->start();
      std::lock_guard lock(acceptedMutex);
      accepted.push_back({group, log});
    });
  }
  asio::ip::udp::endpoint serverEndpoint(std::uint16_t port = 0) {
    return {asio::ip::make_address("127.0.0.1"), port ? port : listener->port()};
  }
  std::shared_ptr<QUICGroup> connect(QUICParameters parameters, GroupLog& log, std::uint16_t port = 0) {
    auto group = QUICGroup::connect(context, serverEndpoint(port), std::move(parameters));
    log.attach(group);
    group->start();
    return group;
  }
  std::size_t acceptedCount() {
    std::lock_guard lock(acceptedMutex);
    return accepted.size();
  }
  std::pair<std::shared_ptr<QUICGroup>, std::shared_ptr<GroupLog>> acceptedAt(std::size_t index) {
    std::lock_guard lock(acceptedMutex);
    return accepted.at(index);
  }
  // Opens a stream on the group's strand.
  std::shared_ptr<QUICStream> open(const std::shared_ptr<QUICGroup>& group) {
    std::promise<std::shared_ptr<QUICStream>> opened;
    asio::post(group->executor(), [&] { opened.set_value(group->openStream()); });
    return opened.get_future().get();
  }
  void sendAndWait(const std::shared_ptr<QUICStream>& stream, Bytes bytes, bool fin = false) {
    std::promise<std::optional<QUICTransportError>> done;
    stream->send(std::move(bytes), fin, [&](std::optional<QUICTransportError> error) { done.set_value(error); });
    auto error = done.get_future().get();
    ASSERT_FALSE(error) << error->text;
  }

  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  std::vector<std::thread> threads;
  QUICIdentity serverIdentity;
  std::shared_ptr<QUICListener> listener;
  std::mutex acceptedMutex;
  std::vector<std::pair<std::shared_ptr<QUICGroup>, std::shared_ptr<GroupLog>>> accepted;
};

TEST_F(QUICLayerTest, HandshakeAgreesOnProtocolAndCarriesFiveClientStreams) {
  listen(serverParameters());
  GroupLog clientLog;
  auto client = connect(clientParameters(), clientLog);
  ASSERT_TRUE(eventually([&] { return clientLog.has(QUICGroupState::ready) && acceptedCount() == 1; }));
  auto [server, serverLog] = acceptedAt(0);
  EXPECT_EQ(client->applicationProtocol(), "nolu/1");
  EXPECT_EQ(server->applicationProtocol(), "nolu/1");
  // The server learns that the handshake is confirmed a moment after the client.
  EXPECT_TRUE(eventually([&] { return serverLog->has(QUICGroupState::ready); }));
  ASSERT_EQ(client->peerCertificateChain().size(), 1u);
  EXPECT_EQ(client->peerCertificateChain()[0], serverIdentity.certificateDER);

  std::vector<std::shared_ptr<QUICStream>> streams;
  for (std::uint8_t kind = 1; kind <= 5; ++kind) {
    auto stream = open(client);
    ASSERT_TRUE(stream);
    sendAndWait(stream, Bytes{kind});
    streams.push_back(stream);
  }
  ASSERT_TRUE(eventually([&] { return serverLog->streamCount() == 5; }));
  std::set<std::uint8_t> kinds;
  for (std::size_t i = 0; i < 5; ++i) {
    std::promise<Bytes> first;
    serverLog->stream(i)->receive(
        1, 1, [&](Bytes content, bool, std::optional<QUICTransportError>) { first.set_value(content); });
    Bytes byte = first.get_future().get();
    ASSERT_EQ(byte.size(), 1u);
    kinds.insert(byte[0]);
  }
  EXPECT_EQ(kinds, (std::set<std::uint8_t>{1, 2, 3, 4, 5}));

  // The peer allows eight streams at once: the ninth cannot be opened.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(open(client));
  EXPECT_FALSE(open(client));
}

TEST_F(QUICLayerTest, RefusesClientsWithoutOrWithAnotherApplicationProtocol) {
  listen(serverParameters());
  for (std::vector<std::string> protocols : {std::vector<std::string>{}, std::vector<std::string>{"h3"}}) {
    GroupLog log;
    QUICParameters parameters = clientParameters();
    parameters.applicationProtocols = protocols;
    auto client = connect(parameters, log);
    ASSERT_TRUE(eventually([&] { return log.has(QUICGroupState::failed); }));
    EXPECT_FALSE(log.has(QUICGroupState::ready));
    EXPECT_NE(log.error().find("TLS alert 120"), std::string::npos) << log.error();
  }
  EXPECT_EQ(acceptedCount(), 0u);
  EXPECT_TRUE(eventually([&] { return listener->connectionCount() == 0; }));

  GroupLog good;
  auto client = connect(clientParameters(), good);
  EXPECT_TRUE(eventually([&] { return good.has(QUICGroupState::ready) && acceptedCount() == 1; }));
}

TEST_F(QUICLayerTest, DataFlowsBothWaysWithinTheFlowControlWindow) {
  listen(serverParameters());
  GroupLog clientLog;
  auto client = connect(clientParameters(), clientLog);
  ASSERT_TRUE(eventually([&] { return clientLog.has(QUICGroupState::ready); }));
  auto stream = open(client);
  ASSERT_TRUE(stream);

  // 12 MiB towards a server that does not read yet: at most one window is held there and
  // the sender's completions stop near it.
  const std::size_t chunk = 256 * 1024, chunks = 48;
  Bytes payload = pattern(chunk * chunks, 7);
  std::atomic<std::size_t> completed{0};
  for (std::size_t i = 0; i < chunks; ++i) {
    stream->send(Bytes(payload.begin() + i * chunk, payload.begin() + (i + 1) * chunk), i + 1 == chunks,
                 [&](std::optional<QUICTransportError> error) {
                   EXPECT_FALSE(error);
                   ++completed;
                 });
  }
  ASSERT_TRUE(eventually([&] { return acceptedCount() == 1 && acceptedAt(0).second->streamCount() == 1; }));
  auto serverStream = acceptedAt(0).second->stream(0);
  const std::size_t window = 4 * 1024 * 1024;
  ASSERT_TRUE(eventually([&] { return serverStream->bufferedIncomingBytes() == window; }));
  EXPECT_LE(completed.load() * chunk, window + chunk);
  EXPECT_LT(completed.load(), chunks);

  // Reading gives credit back; everything arrives intact and every send completes.
  Reader reader;
  reader.start(serverStream);
  ASSERT_TRUE(eventually([&] { return reader.isComplete(); }, 20000ms));
  EXPECT_EQ(reader.data, payload);
  EXPECT_TRUE(eventually([&] { return completed.load() == chunks; }));
  EXPECT_LE(serverStream->bufferedIncomingBytes(), window);

  // And back on the same stream.
  Bytes reply = pattern(3 * 1024 * 1024 + 17, 3);
  sendAndWait(serverStream, reply, true);
  Reader clientReader;
  clientReader.start(stream);
  ASSERT_TRUE(eventually([&] { return clientReader.isComplete(); }, 20000ms));
  EXPECT_EQ(clientReader.data, reply);
}

TEST_F(QUICLayerTest, VerifyHookSeesTheServerCertificateAndDecidesLater) {
  listen(serverParameters());
  const Bytes pin = sha256(serverIdentity.certificateDER);
  asio::io_context verifyContext;  // the hook answers from another thread, later
  auto verifyWork = asio::make_work_guard(verifyContext);
  std::thread verifyThread([&] { verifyContext.run(); });

  struct Case {
    Bytes expected;
    bool ready;
  };
  for (const Case& testCase : {Case{pin, true}, Case{sha256(Bytes{1, 2, 3}), false}}) {
    std::atomic<int> calls{0};
    QUICParameters parameters = clientParameters();
    parameters.verify = [&, expected = testCase.expected](QUICPeerTrust trust, QUICVerifyCompletion complete) {
      ++calls;
      bool match = !trust.certificateChain.empty() && sha256(trust.certificateChain[0]) == expected;
      asio::post(verifyContext, [complete, match] {
        std::this_thread::sleep_for(20ms);
        complete(match);
      });
    };
    GroupLog log;
    auto client = connect(parameters, log);
    ASSERT_TRUE(eventually([&] { return log.has(QUICGroupState::ready) || log.has(QUICGroupState::failed); }));
    EXPECT_EQ(log.has(QUICGroupState::ready), testCase.ready);
    EXPECT_EQ(calls.load(), 1);
    ASSERT_FALSE(client->peerCertificateChain().empty());
    EXPECT_EQ(sha256(client->peerCertificateChain()[0]), pin);
    if (!testCase.ready) {
      EXPECT_EQ(log.error(), "TLS certificate rejected");
    }
  }
  // The rejected client's close reaches the server with the TLS alert.
  ASSERT_TRUE(eventually([&] { return acceptedCount() >= 1; }));
  if (acceptedCount() == 2) {
    auto rejected = acceptedAt(1).second;
    ASSERT_TRUE(eventually([&] { return rejected->has(QUICGroupState::failed); }));
    EXPECT_NE(rejected->error().find("TLS alert 42"), std::string::npos) << rejected->error();
  }
  verifyWork.reset();
  verifyThread.join();
}

TEST_F(QUICLayerTest, ExporterIsEqualOnBothEndsAndDiffersBetweenSessions) {
  listen(serverParameters());
  std::vector<Bytes> values;
  for (int i = 0; i < 2; ++i) {
    GroupLog log;
    auto client = connect(clientParameters(), log);
    ASSERT_TRUE(eventually([&] { return log.has(QUICGroupState::ready) && acceptedCount() == std::size_t(i + 1); }));
    auto clientValue = client->exportKeyingMaterial("EXPORTER-brindlet-auth", 32);
    auto serverValue = acceptedAt(i).first->exportKeyingMaterial("EXPORTER-brindlet-auth", 32);
    ASSERT_TRUE(clientValue && serverValue);
    EXPECT_EQ(clientValue->size(), 32u);
    EXPECT_EQ(*clientValue, *serverValue);
    EXPECT_NE(client->exportKeyingMaterial("EXPORTER-other", 32), clientValue);
    values.push_back(*clientValue);
  }
  EXPECT_NE(values[0], values[1]);
  auto unstarted = QUICGroup::connect(context, serverEndpoint(), clientParameters());
  EXPECT_FALSE(unstarted->exportKeyingMaterial("EXPORTER-brindlet-auth", 32));
}

TEST_F(QUICLayerTest, CancelReachesThePeerAndEndsStreams) {
  listen(serverParameters());
  GroupLog clientLog;
  auto client = connect(clientParameters(), clientLog);
  ASSERT_TRUE(eventually([&] { return clientLog.has(QUICGroupState::ready); }));
  auto stream = open(client);
  sendAndWait(stream, Bytes{1});
  ASSERT_TRUE(eventually([&] { return acceptedCount() == 1 && acceptedAt(0).second->streamCount() == 1; }));
  auto serverLog = acceptedAt(0).second;
  Reader pending;
  pending.start(serverLog->stream(0), 1);
  ASSERT_TRUE(eventually([&] { return pending.size() == 1; }));

  // A cancelled stream resets the peer's reads.
  Reader reset;
  reset.start(serverLog->stream(0));
  stream->cancel();
  ASSERT_TRUE(eventually([&] { return !reset.failure().empty(); }));
  EXPECT_NE(reset.failure().find("stream reset by peer"), std::string::npos) << reset.failure();

  client->cancel();
  ASSERT_TRUE(eventually([&] { return clientLog.has(QUICGroupState::cancelled); }));
  ASSERT_TRUE(eventually([&] { return serverLog->has(QUICGroupState::failed); }));
  EXPECT_EQ(serverLog->error(), "connection closed by peer");
  EXPECT_TRUE(eventually([&] { return listener->connectionCount() == 0; }));
  // Sending on an ended group fails at once.
  std::promise<std::optional<QUICTransportError>> done;
  stream->send(Bytes{2}, false, [&](std::optional<QUICTransportError> error) { done.set_value(error); });
  EXPECT_TRUE(done.get_future().get());
}

TEST_F(QUICLayerTest, IdleConnectionsEndOnBothSides) {
  QUICParameters server = serverParameters();
  server.idleTimeoutMilliseconds = 300;
  listen(server);
  QUICParameters parameters = clientParameters();
  parameters.idleTimeoutMilliseconds = 300;
  GroupLog clientLog;
  auto client = connect(parameters, clientLog);
  ASSERT_TRUE(eventually([&] { return clientLog.has(QUICGroupState::ready) && acceptedCount() == 1; }));
  auto serverLog = acceptedAt(0).second;
  ASSERT_TRUE(
      eventually([&] { return clientLog.has(QUICGroupState::failed) && serverLog->has(QUICGroupState::failed); }));
  EXPECT_EQ(clientLog.error(), "idle timeout");
  EXPECT_EQ(serverLog->error(), "idle timeout");
  EXPECT_EQ(listener->connectionCount(), 0u);
}

TEST_F(QUICLayerTest, GarbageAndAbandonedHandshakesLeaveTheServerServing) {
  QUICParameters server = serverParameters();
  server.stackHandshakeTimeout = 300ms;
  listen(server);

  asio::ip::udp::socket raw(context, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::vector<Bytes> garbage = {Bytes{}, Bytes{0x00}, Bytes(1200, 0xff), pattern(1200, 1), pattern(40, 9)};
  Bytes fakeInitial = pattern(1200, 5);
  fakeInitial[0] = 0xc0;  // long header, Initial, version 1, then nonsense
  fakeInitial[1] = 0;
  fakeInitial[2] = 0;
  fakeInitial[3] = 0;
  fakeInitial[4] = 1;
  fakeInitial[5] = 8;
  garbage.push_back(fakeInitial);
  for (const Bytes& datagram : garbage) raw.send_to(asio::buffer(datagram), serverEndpoint());

  // A client whose every datagram after the first is lost: it vanishes mid-handshake.
  asio::ip::udp::socket relay(context, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::atomic<int> forwarded{0};
  std::thread relayThread([&] {
    Bytes buffer(65536);
    asio::ip::udp::endpoint from;
    std::size_t n = relay.receive_from(asio::buffer(buffer), from);
    raw.send_to(asio::buffer(buffer.data(), n), serverEndpoint());
    ++forwarded;
  });
  GroupLog vanishingLog;
  QUICParameters vanishing = clientParameters();
  vanishing.stackHandshakeTimeout = 300ms;
  auto lost = connect(vanishing, vanishingLog, relay.local_endpoint().port());
  relayThread.join();
  ASSERT_EQ(forwarded.load(), 1);
  ASSERT_TRUE(eventually([&] { return listener->connectionCount() == 1; }));
  EXPECT_TRUE(eventually([&] { return listener->connectionCount() == 0; }));
  EXPECT_EQ(acceptedCount(), 0u);

  GroupLog good;
  auto client = connect(clientParameters(), good);
  ASSERT_TRUE(eventually([&] { return good.has(QUICGroupState::ready) && acceptedCount() == 1; }));
  auto stream = open(client);
  sendAndWait(stream, Bytes{9}, true);
  ASSERT_TRUE(eventually([&] { return acceptedAt(0).second->streamCount() == 1; }));
  Reader reader;
  reader.start(acceptedAt(0).second->stream(0));
  ASSERT_TRUE(eventually([&] { return reader.isComplete(); }));
  EXPECT_EQ(reader.data, Bytes{9});
}

TEST_F(QUICLayerTest, IdentityLoadsFromPEMAndRefusesOtherKeys) {
  gnutls_datum_t pem{};
  gnutls_datum_t der{serverIdentity.certificateDER.data(), static_cast<unsigned>(serverIdentity.certificateDER.size())};
  ASSERT_EQ(gnutls_pem_base64_encode2("CERTIFICATE", &der, &pem), 0);
  std::string certificatePEM(reinterpret_cast<char*>(pem.data), pem.size);
  gnutls_free(pem.data);
  gnutls_datum_t keyDER{serverIdentity.privateKeyDER.data(),
                        static_cast<unsigned>(serverIdentity.privateKeyDER.size())};
  ASSERT_EQ(gnutls_pem_base64_encode2("PRIVATE KEY", &keyDER, &pem), 0);
  std::string keyPEM(reinterpret_cast<char*>(pem.data), pem.size);
  gnutls_free(pem.data);

  QUICIdentity loaded = QUICIdentity::fromPEM(certificatePEM, keyPEM);
  EXPECT_EQ(loaded.certificateDER, serverIdentity.certificateDER);
  EXPECT_NO_THROW(QUICIdentity::fromDER(loaded.certificateDER, loaded.privateKeyDER));
  EXPECT_THROW(QUICIdentity::fromPEM("not a certificate", keyPEM), std::runtime_error);
  EXPECT_THROW(QUICIdentity::fromDER(loaded.certificateDER, Bytes{1, 2, 3}), std::runtime_error);

  gnutls_x509_privkey_t rsa = nullptr;
  gnutls_x509_privkey_init(&rsa);
  ASSERT_EQ(gnutls_x509_privkey_generate(rsa, GNUTLS_PK_RSA, 2048, 0), 0);
  gnutls_datum_t rsaDER{};
  ASSERT_EQ(gnutls_x509_privkey_export2_pkcs8(rsa, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &rsaDER), 0);
  Bytes rsaKey(rsaDER.data, rsaDER.data + rsaDER.size);
  gnutls_free(rsaDER.data);
  gnutls_x509_privkey_deinit(rsa);
  EXPECT_THROW(QUICIdentity::fromDER(loaded.certificateDER, rsaKey), std::runtime_error);
}

}  // namespace
}  // namespace brindlet::platform
