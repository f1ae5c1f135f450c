#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ui/PairQRModel.h"
#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/pairing/PairingURL.h"
#include "kit/support/Task.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;
using namespace std::chrono_literals;

PairedDevice device(std::string name) { return {UUID::random(), std::move(name), Bytes(65, 4), Date{}, std::nullopt}; }

class PairQRModelTest : public ::testing::Test {
 protected:
  std::shared_ptr<PairQRModel> make() {
    auto model = PairQRModel::make(main, loop.clock, service, [this] { return devices; });
    model->onChange = [this] { ++changes; };
    return model;
  }

  // Whether the link's token is (still) accepted by the service; a valid proof uses it up.
  TokenCheck check(const std::string& link) {
    auto url = PairingURL::parse(link);
    EXPECT_TRUE(url);
    Bytes key(65, 7);
    UUID deviceID = UUID::random();
    Bytes proof = AuthCrypto::pairingProof(url->token, service->hostFingerprint(), key, deviceID);
    std::optional<TokenCheck> result;
    Task task = Task::spawn(main,
                            [](std::shared_ptr<HostPairingService> s, Bytes p, Bytes k, UUID id,
                               std::optional<TokenCheck>& out) -> asio::awaitable<void> {
                              out = co_await s->verifyPairingProof(p, k, id);
                            }(service, proof, key, deviceID, result));
    loop.settle();
    return result.value_or(TokenCheck::invalid);
  }

  TestLoop loop;
  Strand main = loop.strand();
  std::vector<PairedDevice> devices{device("Old phone")};
  std::shared_ptr<HostPairingService> service = std::make_shared<HostPairingService>(
      loop.io.get_executor(), UUID::random(), "Studio", Bytes(32, 9), std::make_shared<PairedDeviceStore>(), nullptr,
      [clock = loop.clock] { return clock->wallNow(); });
  int changes = 0;
};

TEST_F(PairQRModelTest, BeforeTheFirstCodeTheCardIsEmpty) {
  auto model = make();
  EXPECT_FALSE(model->image());
  EXPECT_EQ(model->secondsLeft(), 0);
  EXPECT_FALSE(model->justPaired());
}

TEST_F(PairQRModelTest, CountsDownFromAFreshTokenAndDropsTheCodeAtExpiry) {
  auto model = make();
  model->start();
  loop.settle();
  ASSERT_TRUE(model->image());
  EXPECT_EQ(model->secondsLeft(), 300);
  EXPECT_EQ(check(model->link()), TokenCheck::valid);  // the code holds the service's current token

  model->showNewCode();
  loop.settle();
  loop.advance(13s);
  EXPECT_EQ(model->secondsLeft(), 287);
  EXPECT_EQ(validForText(model->secondsLeft()), "Valid for 4:47 · one use");
  loop.advance(287s);
  EXPECT_EQ(model->secondsLeft(), 0);
  EXPECT_FALSE(model->image());
  EXPECT_FALSE(model->justPaired());
  loop.advance(10s);  // no new token by itself
  EXPECT_FALSE(model->image());

  std::string expired = model->link();
  model->showNewCode();
  loop.settle();
  EXPECT_TRUE(model->image());
  EXPECT_EQ(model->secondsLeft(), 300);
  EXPECT_NE(model->link(), expired);
  EXPECT_EQ(check(expired), TokenCheck::invalid);
  model->stop();
}

TEST_F(PairQRModelTest, ANewDeviceIsReportedOnceAndItsLinkWithdrawn) {
  auto model = make();
  model->start();
  loop.settle();
  std::string link = model->link();
  devices.push_back(device("New tablet"));
  devices.push_back(device("Newer phone"));
  loop.advance(500ms);
  EXPECT_EQ(model->justPaired(), "New tablet");  // the older pairing of the two
  EXPECT_FALSE(model->image());
  EXPECT_EQ(check(link), TokenCheck::invalid);
  loop.advance(5s);
  EXPECT_EQ(model->justPaired(), "New tablet");
  model->stop();
}

TEST_F(PairQRModelTest, AKnownDevicePairingAgainIsNotReported) {
  auto model = make();
  model->start();
  loop.settle();
  devices[0].name = "Old phone, renamed";
  loop.advance(2s);
  EXPECT_FALSE(model->justPaired());
  EXPECT_TRUE(model->image());
  model->stop();
}

TEST_F(PairQRModelTest, StoppingWithdrawsTheTokenAndTheTicker) {
  auto model = make();
  model->start();
  loop.settle();
  std::string link = model->link();
  model->stop();
  loop.settle();
  EXPECT_EQ(check(link), TokenCheck::invalid);
  int before = changes;
  loop.advance(10s);
  EXPECT_EQ(changes, before);
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
}

TEST(PairConfirmTextTest, CountdownAndCodeGrouping) {
  EXPECT_EQ(validForText(300), "Valid for 5:00 · one use");
  EXPECT_EQ(validForText(60), "Valid for 1:00 · one use");
  EXPECT_EQ(validForText(59), "Valid for 0:59 · one use");
  EXPECT_EQ(validForText(5), "Valid for 0:05 · one use");
  EXPECT_EQ(groupedCode("123456"), "123 456");
  EXPECT_EQ(groupedCode("12345"), "12345");
  EXPECT_EQ(groupedCode("1234567"), "1234567");
  EXPECT_EQ(groupedCode("12345é"), "123 45é");  // characters, not bytes
  EXPECT_EQ(codeAccessibleLabel("123456"), "Code 1 2 3 4 5 6");
}

}  // namespace
}  // namespace brindlet::host
