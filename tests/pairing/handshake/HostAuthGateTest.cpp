#include <gtest/gtest.h>

#include "kit/transport/InMemoryConnection.h"
#include "pairing/handshake/PairingHarness.h"
#include "platform/crypto/Digest.h"
#include "support/StreamRecorder.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::PairingHarness;
using testing::StreamRecorder;
using Event = ClientHandshake::Event;
using Purpose = ClientHandshake::Purpose;

// One device connected in-process to a gate of the harness.
struct Link {
  std::shared_ptr<InMemoryConnection> host, device;
  std::unique_ptr<PairingHarness::HostEnd> end;
  std::unique_ptr<StreamRecorder<ConnectionState>> deviceStates;

  bool deviceClosed() const {
    auto states = deviceStates->values();
    return !states.empty() && states.back().is(ConnectionState::Case::closed);
  }
};

Link connect(PairingHarness& h, AuthTimeouts timeouts = AuthTimeouts{}) {
  Link link;
  std::tie(link.host, link.device) = InMemoryConnection::pair();
  link.deviceStates = std::make_unique<StreamRecorder<ConnectionState>>(h.loop.strand(), link.device->states());
  link.end = h.accept(link.host, timeouts);
  return link;
}

template <class T>
std::vector<T> casesOf(const std::vector<Message>& messages) {
  std::vector<T> out;
  for (const auto& m : messages)
    if (auto* body = m.as<T>()) out.push_back(*body);
  return out;
}

Message hello(const UUID& deviceID) {
  msg::Hello body;
  body.version = 16;
  body.deviceID = deviceID;
  body.deviceName = "Anna's iPad";
  return body;
}

// The device answers the challenge by hand: `sign` makes the signature.
msg::AuthResponse answer(const ClientIdentity& identity, const Bytes& nonce, const Bytes& fingerprint,
                         std::optional<Bytes> exporter = std::nullopt) {
  return msg::AuthResponse{identity.deviceID, identity.publicKeyX963(),
                           AuthCrypto::sign(nonce, fingerprint, identity.deviceID, exporter, identity.privateKey)};
}

// Pairs a device by token and checks it was admitted.
void pairByToken(PairingHarness& h, Link& link, const ClientIdentity& identity,
                 const std::string& name = "Anna's iPad") {
  auto outcome = h.handshake(link.device, identity, Purpose::pairWithToken(h.tokenFromLink()), name);
  h.loop.settle();
  ASSERT_EQ(outcome->event, Event::authenticated());
}

TEST(HostAuthGate, AnUnpairedDeviceIsToldNotPairedAndClosedSilentlyAfterThePairingWindow) {
  PairingHarness h;
  auto link = connect(h);
  auto identity = testing::newDeviceIdentity();
  auto outcome = h.handshake(link.device, identity, Purpose::authenticate());
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::notPaired());
  StreamRecorder<Message> later(h.loop.strand(), link.device->messages());
  link.device->send(hello(identity.deviceID));
  // A second answer to the challenge is ignored, and does not restart anything.
  link.device->send(msg::AuthResponse{identity.deviceID, identity.publicKeyX963(), Bytes(64, 1)});
  h.loop.advance(119900ms);
  EXPECT_FALSE(link.deviceClosed());
  h.loop.advance(100ms);
  EXPECT_TRUE(link.deviceClosed());
  EXPECT_TRUE(later.values().empty());
  EXPECT_TRUE(link.end->probe->proceeded.empty());
  EXPECT_TRUE(link.end->probe->admittedAtOnce.empty());
  EXPECT_TRUE(h.store->allPairedDevices().empty());
  EXPECT_TRUE(h.admitted.empty());
}

TEST(HostAuthGate, PairsWithTheTokenOfAParsedLinkAndIsAdmittedOnItsNextConnection) {
  PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  auto first = connect(h);
  h.loop.clock->advance(3s);
  pairByToken(h, first, identity, "  Anna's iPad\n");

  auto stored = h.store->pairedDevice(identity.deviceID);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name, "Anna's iPad");
  EXPECT_EQ(stored->publicKey, identity.publicKeyX963());
  EXPECT_EQ(stored->pairedAt, h.loop.clock->wallNow());
  EXPECT_EQ(stored->lastSeen, h.loop.clock->wallNow());  // stamped by the live registration
  EXPECT_EQ(PairedDeviceStore(*h.store->fileURL()).allPairedDevices(), h.store->allPairedDevices());
  EXPECT_EQ(h.admitted, std::vector<UUID>{identity.deviceID});
  EXPECT_EQ(h.liveDevices(), std::set<UUID>{identity.deviceID});

  // Session traffic now proceeds; late handshake messages are consumed.
  first.device->send(hello(identity.deviceID));
  first.device->send(msg::PairReveal{Bytes(32, 1)});
  first.device->send(answer(identity, Bytes(32, 2), h.fingerprint));
  first.device->send(msg::Ping{7});
  h.loop.settle();
  EXPECT_EQ(first.end->probe->proceeded, (std::vector<Message>{hello(identity.deviceID), msg::Ping{7}}));
  // The session may act on that traffic without a turn on the gate: the gate admits it at once.
  EXPECT_EQ(first.end->probe->admittedAtOnce, first.end->probe->proceeded);

  // Next connection: plain authentication, without a token.
  h.loop.advance(1h);
  auto second = connect(h);
  auto outcome = h.handshake(second.device, identity, Purpose::authenticate());
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::authenticated());
  EXPECT_EQ(h.store->pairedDevice(identity.deviceID)->lastSeen, h.loop.clock->wallNow());
  EXPECT_EQ(h.admitted.size(), 2u);
  second.device->send(hello(identity.deviceID));
  h.loop.settle();
  EXPECT_EQ(second.end->probe->proceeded.size(), 1u);

  // Closing an authenticated connection takes it off the live list.
  first.device->close();
  second.device->close();
  h.loop.settle();
  EXPECT_TRUE(first.end->probe->ended);
  EXPECT_FALSE(first.end->gate->admits(msg::Ping{8})) << "a closed gate admits nothing";
  EXPECT_TRUE(h.liveDevices().empty());
}

TEST(HostAuthGate, PairsByComparedCodeWhenTheUserAllows) {
  PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  auto link = connect(h);
  auto outcome = h.handshake(link.device, identity, Purpose::pairByComparison(), "Phone");
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::authenticated());
  ASSERT_EQ(outcome->codes.size(), 1u);
  ASSERT_EQ(h.confirmer->asked.size(), 1u);
  EXPECT_EQ(h.confirmer->asked[0], std::make_pair(std::string("Phone"), outcome->codes[0]));
  EXPECT_EQ(outcome->codes[0].size(), 6u);
  EXPECT_TRUE(h.store->pairedDevice(identity.deviceID));
  EXPECT_EQ(h.liveDevices(), std::set<UUID>{identity.deviceID});
}

TEST(HostAuthGate, ComparedCodeIsDeniedWhenTheUserDeclinesLetsItLapseOrNobodyCanAsk) {
  enum Case { declines, lapses, noConfirmer };
  for (Case c : {declines, lapses, noConfirmer}) {
    SCOPED_TRACE(c);
    PairingHarness h(false, std::nullopt, c != noConfirmer);
    h.confirmer->mode = c == declines ? testing::TestConfirmer::Mode::deny : testing::TestConfirmer::Mode::wait;
    auto identity = testing::newDeviceIdentity();
    auto link = connect(h);
    auto outcome = h.handshake(link.device, identity, Purpose::pairByComparison());
    h.loop.settle();
    if (c == lapses) {
      EXPECT_FALSE(outcome->event);
      h.loop.advance(59999ms);
      EXPECT_FALSE(outcome->event);
      h.loop.advance(1ms);
      EXPECT_EQ(h.confirmer->cancelled, 1);
    }
    EXPECT_EQ(outcome->event, Event::pairingFailed(PairResult::denied));
    EXPECT_EQ(outcome->codes.size(), 1u);
    EXPECT_EQ(h.confirmer->asked.size(), c == noConfirmer ? 0u : 1u);
    EXPECT_TRUE(h.store->allPairedDevices().empty());
    EXPECT_TRUE(h.liveDevices().empty());
    h.loop.advance(200ms);
    EXPECT_TRUE(link.deviceClosed());
  }
}

TEST(HostAuthGate, AKnownDeviceWithAnotherKeyIsDeniedAndClosedAfterTheFlush) {
  PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  auto first = connect(h);
  pairByToken(h, first, identity);
  auto record = h.store->pairedDevice(identity.deviceID);

  ClientIdentity impostor{identity.deviceID, platform::P256PrivateKey::generate()};
  auto link = connect(h);
  auto outcome = h.handshake(link.device, impostor, Purpose::pairWithToken(h.tokenFromLink()));
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::denied());  // not offered pairing
  h.loop.advance(199ms);
  EXPECT_FALSE(link.deviceClosed());
  h.loop.advance(1ms);
  EXPECT_TRUE(link.deviceClosed());
  EXPECT_EQ(h.store->pairedDevice(identity.deviceID), record);
  EXPECT_EQ(h.admitted.size(), 1u);
}

TEST(HostAuthGate, AnswersThatDoNotProveTheKeyAreDenied) {
  PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  struct Case {
    const char* what;
    std::function<msg::AuthResponse(const Bytes& nonce)> make;
  };
  Bytes otherFingerprint = AuthCrypto::randomBytes(32);
  std::vector<Case> cases = {
      {"signed over another fingerprint", [&](const Bytes& n) { return answer(identity, n, otherFingerprint); }},
      {"signed with the TLS label in-process",
       [&](const Bytes& n) { return answer(identity, n, h.fingerprint, AuthCrypto::randomBytes(32)); }},
      {"signed over another nonce", [&](const Bytes&) { return answer(identity, Bytes(32, 9), h.fingerprint); }},
      {"key of 64 bytes",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.publicKey.pop_back();
         return r;
       }},
      {"compressed key prefix",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.publicKey[0] = 0x02;
         return r;
       }},
      {"point off the curve",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.publicKey[64] ^= 1;
         return r;
       }},
      {"signature of 63 bytes",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.signature.pop_back();
         return r;
       }},
      {"signature of 65 bytes",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.signature.push_back(0);
         return r;
       }},
      {"another device's ID",
       [&](const Bytes& n) {
         auto r = answer(identity, n, h.fingerprint);
         r.deviceID = UUID::random();
         return r;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto link = connect(h);
    StreamRecorder<Message> received(h.loop.strand(), link.device->messages());
    h.loop.settle();
    auto challenges = casesOf<msg::AuthChallenge>(received.values());
    ASSERT_EQ(challenges.size(), 1u);
    EXPECT_EQ(challenges[0].nonce.size(), 32u);
    msg::AuthResponse response = c.make(challenges[0].nonce);
    link.device->send(response);
    h.loop.advance(200ms);
    EXPECT_EQ(casesOf<msg::AuthResult>(received.values()),
              std::vector<msg::AuthResult>{msg::AuthResult{AuthResult::denied}});
    EXPECT_TRUE(link.deviceClosed());
  }
  EXPECT_TRUE(h.admitted.empty());
  EXPECT_TRUE(h.store->allPairedDevices().empty());
}

TEST(HostAuthGate, AFourthPairingWithinAMinuteOfThreeFailedOnesIsRateLimited) {
  PairingHarness h;
  for (int i = 0; i < 3; ++i) {
    auto link = connect(h);
    auto outcome =
        h.handshake(link.device, testing::newDeviceIdentity(), Purpose::pairWithToken(AuthCrypto::randomBytes(16)));
    h.loop.settle();
    EXPECT_EQ(outcome->event, Event::pairingFailed(PairResult::invalidToken));
    h.loop.advance(10s);
  }
  Bytes token = h.tokenFromLink();
  auto limited = connect(h);
  auto identity = testing::newDeviceIdentity();
  auto refused = h.handshake(limited.device, identity, Purpose::pairWithToken(token));
  h.loop.settle();
  EXPECT_EQ(refused->event, Event::pairingFailed(PairResult::rateLimited));
  // The proof was not examined: once the oldest attempt is a minute old the token still works.
  h.loop.advance(30s);
  auto later = connect(h);
  auto outcome = h.handshake(later.device, identity, Purpose::pairWithToken(token));
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::authenticated());
}

TEST(HostAuthGate, ADeviceThatDoesNotAnswerIsClosedSilentlyAfterTheResponseTime) {
  PairingHarness h;
  auto link = connect(h);
  StreamRecorder<Message> received(h.loop.strand(), link.device->messages());
  h.loop.settle();
  link.device->send(hello(UUID::random()));
  h.loop.advance(9999ms);
  EXPECT_FALSE(link.deviceClosed());
  h.loop.advance(1ms);
  EXPECT_TRUE(link.deviceClosed());
  ASSERT_EQ(received.values().size(), 1u);  // the challenge only
  EXPECT_TRUE(received.values()[0].is<msg::AuthChallenge>());
  EXPECT_TRUE(link.end->probe->proceeded.empty());
}

TEST(HostAuthGate, ThePairingDeadlineCutsTheUsersWindowShort) {
  PairingHarness h;
  h.confirmer->mode = testing::TestConfirmer::Mode::wait;
  auto identity = testing::newDeviceIdentity();
  auto link = connect(h);
  StreamRecorder<Message> received(h.loop.strand(), link.device->messages());
  h.loop.settle();
  link.device->send(answer(identity, casesOf<msg::AuthChallenge>(received.values()).at(0).nonce, h.fingerprint));
  h.loop.advance(100s);  // the device waits before it asks to pair
  Bytes clientNonce = AuthCrypto::randomBytes(32);
  link.device->send(msg::PairRequest{PairMethod::compare, "Late", AuthCrypto::commitment(clientNonce)});
  h.loop.settle();
  ASSERT_EQ(casesOf<msg::PairNonce>(received.values()).size(), 1u);
  link.device->send(msg::PairReveal{clientNonce});
  h.loop.settle();
  ASSERT_EQ(h.confirmer->asked.size(), 1u);
  h.loop.advance(19999ms);
  EXPECT_FALSE(link.deviceClosed());
  h.loop.advance(1ms);  // 120 s after notPaired
  EXPECT_TRUE(link.deviceClosed());
  EXPECT_EQ(h.confirmer->cancelled, 1);
  h.confirmer->answer(true);  // too late
  h.loop.advance(1s);
  EXPECT_TRUE(casesOf<msg::PairResult>(received.values()).empty());
  EXPECT_TRUE(h.store->allPairedDevices().empty());
  EXPECT_TRUE(h.liveDevices().empty());
  EXPECT_TRUE(h.admitted.empty());
}

TEST(HostAuthGate, ClosingWhileTheUserDecidesStoresNothing) {
  PairingHarness h;
  h.confirmer->mode = testing::TestConfirmer::Mode::wait;
  auto link = connect(h);
  auto outcome = h.handshake(link.device, testing::newDeviceIdentity(), Purpose::pairByComparison());
  h.loop.settle();
  ASSERT_EQ(h.confirmer->asked.size(), 1u);
  link.device->close();
  h.loop.settle();
  EXPECT_TRUE(link.end->probe->ended);
  EXPECT_EQ(h.confirmer->cancelled, 1);
  h.confirmer->answer(true);
  h.loop.advance(1s);
  EXPECT_TRUE(h.store->allPairedDevices().empty());
  EXPECT_TRUE(h.liveDevices().empty());
  EXPECT_TRUE(h.admitted.empty());
}

// The gate waits for the pairing service several times while a pairing completes. Whenever
// the pairing window closes or the connection ends during one of those waits, the gate must
// stay closed: nobody admitted after a deadline, and no live connection left behind.
TEST(HostAuthGate, AGateClosedWhileItWaitsForTheServiceAdmitsNobody) {
  for (PairMethod method : {PairMethod::token, PairMethod::compare}) {
    for (bool byDeadline : {true, false}) {
      for (int steps = 0; steps < 14; ++steps) {
        SCOPED_TRACE(std::string(method == PairMethod::token ? "token, " : "compare, ") +
                     (byDeadline ? "deadline" : "close") + " after service step " + std::to_string(steps));
        PairingHarness h(/*holdService=*/true);
        auto identity = testing::newDeviceIdentity();
        Bytes token = h.tokenFromLink();
        auto link = connect(h);
        StreamRecorder<Message> received(h.loop.strand(), link.device->messages());
        h.loop.settle();
        link.device->send(answer(identity, casesOf<msg::AuthChallenge>(received.values()).at(0).nonce, h.fingerprint));
        h.loop.settle();
        ASSERT_EQ(casesOf<msg::AuthResult>(received.values()).size(), 1u);
        Bytes clientNonce = AuthCrypto::randomBytes(32);
        Bytes proof = method == PairMethod::token
                          ? AuthCrypto::pairingProof(token, h.fingerprint, identity.publicKeyX963(), identity.deviceID)
                          : AuthCrypto::commitment(clientNonce);
        link.device->send(msg::PairRequest{method, "Phone", proof});
        h.loop.settle();
        bool revealed = false;
        for (int i = 0; i < steps; ++i) {
          h.stepService();
          if (!revealed && !casesOf<msg::PairNonce>(received.values()).empty()) {
            link.device->send(msg::PairReveal{clientNonce});
            revealed = true;
            h.loop.settle();
          }
        }
        bool acceptedBefore = !casesOf<msg::PairResult>(received.values()).empty();
        std::size_t admittedBefore = h.admitted.size();
        if (byDeadline)
          h.loop.advance(120s);
        else
          link.device->close();
        h.runService();
        h.loop.advance(1s);
        h.runService();
        bool accepted = casesOf<msg::PairResult>(received.values()) ==
                        std::vector<msg::PairResult>{msg::PairResult{PairResult::accepted}};
        std::set<UUID> live = h.liveDevices();
        if (byDeadline) {
          // Admitted (and told so) before the deadline, or not at all.
          EXPECT_EQ(h.admitted.size(), accepted ? 1u : 0u);
          if (acceptedBefore) {
            EXPECT_EQ(h.admitted.size(), admittedBefore);
          }
          EXPECT_EQ(live, accepted ? std::set<UUID>{identity.deviceID} : std::set<UUID>{});
          if (!accepted) {
            EXPECT_TRUE(link.deviceClosed());
          }
        } else {
          EXPECT_TRUE(live.empty());
          EXPECT_TRUE(link.end->probe->ended);
        }
      }
    }
  }
}

TEST(HostAuthGate, APairingWhoseFileCannotBeWrittenIsNotAccepted) {
  testing::TempFolder blocked;
  testing::writeFile(blocked.path() / "Nolu", bytesOf("a file where the folder should be"));
  PairingHarness h(false, blocked.path() / "Nolu" / "paired-devices.json");
  auto identity = testing::newDeviceIdentity();
  auto link = connect(h);
  auto outcome = h.handshake(link.device, identity, Purpose::pairWithToken(h.tokenFromLink()));
  h.loop.settle();
  EXPECT_EQ(outcome->event, Event::pairingFailed(PairResult::failed));
  EXPECT_TRUE(h.store->allPairedDevices().empty());
  EXPECT_TRUE(h.admitted.empty());
  EXPECT_TRUE(h.liveDevices().empty());
  h.loop.advance(200ms);
  EXPECT_TRUE(link.deviceClosed());
}

TEST(HostAuthGate, ReplayedAndExpiredTokensAreRefused) {
  PairingHarness h;
  Bytes token = h.tokenFromLink();
  auto first = connect(h);
  auto paired = h.handshake(first.device, testing::newDeviceIdentity(), Purpose::pairWithToken(token));
  h.loop.settle();
  EXPECT_EQ(paired->event, Event::authenticated());

  auto replay = connect(h);
  auto replayed = h.handshake(replay.device, testing::newDeviceIdentity(), Purpose::pairWithToken(token));
  h.loop.settle();
  EXPECT_EQ(replayed->event, Event::pairingFailed(PairResult::invalidToken));

  Bytes old = h.tokenFromLink();
  h.loop.advance(301s);
  auto late = connect(h);
  auto expired = h.handshake(late.device, testing::newDeviceIdentity(), Purpose::pairWithToken(old));
  h.loop.settle();
  EXPECT_EQ(expired->event, Event::pairingFailed(PairResult::expiredToken));
  EXPECT_EQ(h.store->allPairedDevices().size(), 1u);
}

TEST(HostAuthGate, IllFormedComparisonsFailWithoutAskingTheUser) {
  PairingHarness h;
  for (bool shortCommitment : {true, false}) {
    SCOPED_TRACE(shortCommitment ? "commitment of 31 bytes" : "reveal that does not match");
    auto identity = testing::newDeviceIdentity();
    auto link = connect(h);
    StreamRecorder<Message> received(h.loop.strand(), link.device->messages());
    h.loop.settle();
    link.device->send(answer(identity, casesOf<msg::AuthChallenge>(received.values()).at(0).nonce, h.fingerprint));
    Bytes clientNonce = AuthCrypto::randomBytes(32);
    Bytes commitment = AuthCrypto::commitment(clientNonce);
    if (shortCommitment) commitment.pop_back();
    link.device->send(msg::PairRequest{PairMethod::compare, "Phone", commitment});
    if (!shortCommitment) {
      clientNonce[0] ^= 1;
      link.device->send(msg::PairReveal{clientNonce});
    }
    h.loop.advance(200ms);
    EXPECT_EQ(casesOf<msg::PairResult>(received.values()),
              std::vector<msg::PairResult>{msg::PairResult{PairResult::failed}});
    EXPECT_EQ(casesOf<msg::PairNonce>(received.values()).size(), shortCommitment ? 0u : 1u);
    EXPECT_TRUE(link.deviceClosed());
  }
  EXPECT_TRUE(h.confirmer->asked.empty());
  EXPECT_TRUE(h.store->allPairedDevices().empty());
}

// Two connections of the same unknown device, both told notPaired, both pair: the second
// pairing replaces the first record instead of adding another.
TEST(HostAuthGate, PairingAStoredDeviceAgainReplacesItsRecord) {
  PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  Bytes token = h.tokenFromLink();
  auto first = connect(h);
  auto second = connect(h);
  auto byToken = h.handshake(first.device, identity, Purpose::pairWithToken(token), "Old name");
  auto byCode = h.handshake(second.device, identity, Purpose::pairByComparison(), "New name");
  h.loop.settle();
  EXPECT_EQ(byToken->event, Event::authenticated());
  EXPECT_EQ(byCode->event, Event::authenticated());
  auto all = h.store->allPairedDevices();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "New name");
  EXPECT_EQ(PairedDeviceStore(*h.store->fileURL()).allPairedDevices().size(), 1u);
}

TEST(HostAuthGate, DeviceNamesAreCleanedByUserPerceivedCharacters) {
  std::string hundred(100, 'x');
  std::string flags, accents, families;
  for (int i = 0; i < 70; ++i) {
    flags += "🇩🇪";                            // two code points, one character
    accents += "e\xCC\x81";                   // e + combining acute
    families += "👩‍👩‍👧‍👦";  // one character of seven code points
  }
  auto first64 = [](const std::string& repeated, std::size_t unitBytes) { return repeated.substr(0, 64 * unitBytes); };
  struct Case {
    std::string in, out;
  };
  std::vector<Case> cases = {
      {hundred, std::string(64, 'x')},
      {"   ", "Unknown device"},
      {"", "Unknown device"},
      {" \n\t\r\xC2\xA0\xE3\x80\x80 ", "Unknown device"},  // NBSP, ideographic space
      {"\n  Anna's  iPad \t", "Anna's  iPad"},
      {flags, first64(flags, 8)},
      {accents, first64(accents, 3)},
      {families, first64(families, 25)},
      {std::string(63, 'a') + "e\xCC\x81" + "b", std::string(63, 'a') + "e\xCC\x81"},
  };
  for (const auto& c : cases) EXPECT_EQ(HostAuthGate::cleanDeviceName(c.in), c.out) << c.in;
}

TEST(HostAuthGate, NamesAreStoredCleaned) {
  PairingHarness h;
  for (const auto& [name, stored] : std::vector<std::pair<std::string, std::string>>{
           {std::string(100, 'n'), std::string(64, 'n')}, {" \t ", "Unknown device"}}) {
    auto identity = testing::newDeviceIdentity();
    auto link = connect(h);
    pairByToken(h, link, identity, name);
    EXPECT_EQ(h.store->pairedDevice(identity.deviceID)->name, stored);
  }
}

}  // namespace
}  // namespace brindlet
