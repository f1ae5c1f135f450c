// The host's remote-access state: the relay settings and their deny list, the provisioner,
// and the relay controller's join, reconcile and account handling.

#include <gtest/gtest.h>

#include <filesystem>

#include "host/app/AppModel.h"
#include "host/app/RelayController.h"
#include "host/app/RelayMenuSection.h"
#include "host/app/RelayProvisioner.h"
#include "host/app/RelaySettings.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "kit/support/UUID.h"
#include "platform/storage/UserDefaults.h"
#include "relay/FakeHTTPSession.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using Date = RelaySettings::Date;

class RelayStateTest : public ::testing::Test {
 protected:
  RelayStateTest() {
    folder = std::filesystem::temp_directory_path() / ("relay-state-" + UUID::random().uuidString());
    std::filesystem::create_directories(folder);
    defaults = std::make_shared<platform::UserDefaults>(folder / "settings.json");
  }
  ~RelayStateTest() override { std::filesystem::remove_all(folder); }

  std::shared_ptr<RelaySettings> makeSettings() {
    return std::make_shared<RelaySettings>(
        defaults, [this] { ++secretDeletions; }, "https://default.test");
  }

  Date day(int n) const { return Date(std::chrono::seconds(1'700'000'000)) + std::chrono::days(n); }

  std::filesystem::path folder;
  std::shared_ptr<platform::UserDefaults> defaults;
  int secretDeletions = 0;
};

TEST_F(RelayStateTest, MigrationRunsOnce) {
  defaults->set("relay.enabled", true);
  defaults->set("relay.baseURL", "https://old.test");
  defaults->set("relay.accountID", "42");
  auto settings = makeSettings();
  EXPECT_EQ(secretDeletions, 1);
  EXPECT_FALSE(settings->enabled());
  EXPECT_FALSE(defaults->object("relay.baseURL"));
  EXPECT_FALSE(defaults->object("relay.accountID"));
  settings->setEnabled(true);
  auto again = makeSettings();
  EXPECT_EQ(secretDeletions, 1);
  EXPECT_TRUE(again->enabled());
}

TEST_F(RelayStateTest, CoordinatorAddressAndAccount) {
  auto settings = makeSettings();
  defaults->set("relay.coordinatorURL", "  \n");
  EXPECT_EQ(settings->coordinatorURL(), "https://default.test");
  settings->setAccount("Family", "https://default.test");
  EXPECT_EQ(settings->account(), (RelayAccount{"https://default.test", "Family"}));
  defaults->set("relay.coordinatorURL", " https://other.test ");
  EXPECT_EQ(settings->coordinatorURL(), "https://other.test");
  EXPECT_FALSE(settings->account());  // enrolled with another coordinator
  settings->removeAccount();
  defaults->remove("relay.coordinatorURL");
  EXPECT_FALSE(settings->account());
}

TEST_F(RelayStateTest, DenyListKeepsThirtyOneDaysAndPrunesOnWrite) {
  auto settings = makeSettings();
  int changes = 0;
  settings->setDeniedChangeHandler([&] { ++changes; });
  Bytes a(65, 4), b(65, 5), c(65, 6);
  settings->deny(b, day(0));
  settings->deny(a, day(1));
  EXPECT_EQ(settings->deniedKeys(day(30)), (std::vector<Bytes>{a, b}));  // sorted, b denied 30 days ago
  EXPECT_EQ(settings->deniedKeys(day(31)), (std::vector<Bytes>{a}));     // b: exactly 31 days
  settings->deny(c, day(31));                                            // prunes b
  EXPECT_EQ(settings->deniedKeys(day(0)).size(), 2u);
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(settings->liftDenial(a));
  EXPECT_FALSE(settings->liftDenial(a));
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(settings->deniedKeys(day(31)), (std::vector<Bytes>{c}));

  defaults->setJSON("relay.denied", R"({"BAQE":"yesterday"})");
  EXPECT_TRUE(settings->deniedKeys(day(31)).empty());
  settings->deny(a, day(40));
  EXPECT_EQ(settings->deniedKeys(day(40)), (std::vector<Bytes>{a}));
}

TEST_F(RelayStateTest, ProvisionNeedsAnActiveServiceRelaysAndASigner) {
  auto settings = makeSettings();
  auto clock = std::make_shared<ManualClock>();
  RelayProvisioner provisioner(settings, clock);
  auto host = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  Bytes device = P256RelaySigner(platform::P256PrivateKey::generate()).publicKey();
  settings->deny(device, clock->wallNow());
  int changes = 0;
  settings->setDeniedChangeHandler([&] { ++changes; });

  std::uint64_t generation = provisioner.deactivate();
  EXPECT_TRUE(provisioner.activate(generation, {{"relay.test", 7000}}));
  EXPECT_FALSE(provisioner.provision(device));  // no signer
  provisioner.setSigner(host);
  EXPECT_TRUE(provisioner.activate(generation, {}));
  EXPECT_FALSE(provisioner.provision(device));  // no relays
  std::uint64_t newer = provisioner.deactivate();
  EXPECT_FALSE(provisioner.activate(generation, {{"relay.test", 7000}}));  // a superseded service's report
  EXPECT_FALSE(provisioner.provision(device));
  EXPECT_EQ(settings->deniedKeys(clock->wallNow()).size(), 1u);  // still denied
  EXPECT_EQ(changes, 0);

  EXPECT_TRUE(provisioner.activate(newer, {{"relay.test", 7000}}));
  auto provision = provisioner.provision(device);
  ASSERT_TRUE(provision);
  EXPECT_EQ(provision->relays, (std::vector<RelayEndpoint>{{"relay.test", 7000}}));
  EXPECT_TRUE(RelayJoinGrant::verify(provision->grant, host->publicKey()));
  EXPECT_EQ(RelayJoinGrant::parse(provision->grant)->expiresAt, unixSeconds(clock->wallNow()) + 2'592'000u);
  EXPECT_TRUE(settings->deniedKeys(clock->wallNow()).empty());  // given access: no longer denied
  EXPECT_EQ(changes, 1);                                        // and the running service is told
}

class RelayControllerTest : public RelayStateTest {
 protected:
  RelayControllerTest() {
    settings = makeSettings();
    provisioner = std::make_shared<RelayProvisioner>(settings, loop.clock);
  }
  ~RelayControllerTest() override {
    controller.reset();
    loop.settle();
  }

  void makeController() {
    auto factory = [this](const RelayAccount& account, std::shared_ptr<RelaySigner> signer,
                          std::optional<std::uint16_t> port, std::vector<Bytes> denied) {
      ++servicesMade;
      lastDenied = denied;
      auto client = CoordinatorClient::make(loop.io.get_executor(), account.baseURL, signer, http, loop.clock);
      return RelayHostService::make(loop.io.get_executor(), loop.clock, client, signer, port, std::move(denied), {});
    };
    auto enroll = [this](std::string url, std::string code, std::shared_ptr<RelaySigner>) {
      enrolments.push_back({url, code});
      return answer(enrolResult);
    };
    controller = RelayController::make(loop.strand(), settings, provisioner, factory, enroll, loop.clock);
    controller->onConfigChanged = [this] { ++configChanges; };
  }

  static asio::awaitable<std::string> answer(std::optional<CoordinatorError::Case> failure) {
    if (failure) throw CoordinatorError(*failure);
    co_return "Family";
  }

  testing::TestLoop loop;
  std::shared_ptr<RelaySettings> settings;
  std::shared_ptr<RelayProvisioner> provisioner;
  std::shared_ptr<testing::FakeHTTPSession> http = std::make_shared<testing::FakeHTTPSession>();
  std::shared_ptr<RelayController> controller;
  std::shared_ptr<RelaySigner> signer = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  std::vector<std::pair<std::string, std::string>> enrolments;
  std::optional<CoordinatorError::Case> enrolResult;
  int servicesMade = 0;
  int configChanges = 0;
  std::vector<Bytes> lastDenied;
};

TEST_F(RelayControllerTest, JoinRefusesMalformedCodesWithoutARequest) {
  makeController();
  controller->setSigner(signer);
  controller->join("abc");
  loop.settle();
  EXPECT_TRUE(enrolments.empty());
  EXPECT_EQ(controller->statusLine(), "That invite is not valid. It has 10 letters and digits.");
  EXPECT_TRUE(controller->statusIsError());
}

TEST_F(RelayControllerTest, JoinWithoutTheHostKeyAsksNothing) {
  makeController();
  controller->join("ABCDE-FGHJK");
  loop.settle();
  EXPECT_TRUE(enrolments.empty());
  EXPECT_EQ(controller->notice(), "The host identity is not available");
}

TEST_F(RelayControllerTest, SuccessfulJoinEnrolsOnceTurnsOnAndStartsTheService) {
  makeController();
  controller->setSigner(signer);
  controller->setInviteDraft("abcde-fghjk");
  controller->join("abcde-fghjk");
  controller->join("abcde-fghjk");  // pressed twice
  EXPECT_EQ(controller->statusLine(), "Joining\u2026");
  loop.settle();
  ASSERT_EQ(enrolments.size(), 1u);
  EXPECT_EQ(enrolments[0], (std::pair<std::string, std::string>{"https://default.test", "ABCDEFGHJK"}));
  EXPECT_TRUE(settings->enabled());
  EXPECT_EQ(settings->account(), (RelayAccount{"https://default.test", "Family"}));
  EXPECT_EQ(controller->accountLabel(), "Family");
  EXPECT_EQ(controller->inviteDraft(), "");
  EXPECT_FALSE(controller->joining());
  EXPECT_EQ(servicesMade, 1);
  ASSERT_TRUE(controller->service());
  // The service's own status shows: here it cannot reach the coordinator.
  EXPECT_EQ(controller->statusLine(), "Can't reach the relay");
  EXPECT_TRUE(controller->statusIsError());
  EXPECT_GE(configChanges, 1);
}

TEST_F(RelayControllerTest, FailedJoinShowsTheCoordinatorsTextAndKeepsTheSettings) {
  makeController();
  controller->setSigner(signer);
  enrolResult = CoordinatorError::Case::invalidInvite;
  controller->join("ABCDEFGHJK");
  loop.settle();
  EXPECT_FALSE(settings->enabled());
  EXPECT_FALSE(settings->account());
  EXPECT_EQ(controller->statusLine(), "That invite is invalid, used or expired");
  EXPECT_TRUE(controller->statusIsError());
  EXPECT_EQ(servicesMade, 0);
}

TEST_F(RelayControllerTest, ReconcileFollowsSwitchAccountAndSigner) {
  settings->setEnabled(true);
  settings->setAccount("Family", "https://default.test");
  makeController();
  controller->reconcile();
  EXPECT_EQ(controller->status(), RelayHostService::Status::error("The host identity is not available"));
  EXPECT_TRUE(controller->statusIsError());
  EXPECT_EQ(servicesMade, 0);

  Bytes removed(65, 9);
  settings->deny(removed, loop.clock->wallNow());
  controller->setSigner(signer);
  controller->setListenerPort(4242);
  controller->reconcile();
  EXPECT_EQ(servicesMade, 1);
  EXPECT_EQ(lastDenied, (std::vector<Bytes>{removed}));
  EXPECT_FALSE(provisioner->isActive());

  controller->setSwitch(false);
  EXPECT_FALSE(controller->service());
  EXPECT_EQ(controller->status(), RelayHostService::Status::stopped());
  EXPECT_FALSE(controller->statusLine());
  EXPECT_FALSE(controller->statusIsError());
}

TEST_F(RelayControllerTest, ABadCoordinatorAddressBecomesTheStatus) {
  settings->setEnabled(true);
  defaults->set("relay.coordinatorURL", "http://coordinator.test");  // plain http off this machine
  settings->setAccount("Family", "http://coordinator.test");
  makeController();
  controller->setSigner(signer);
  controller->reconcile();
  EXPECT_EQ(controller->statusLine(), "The relay address is not valid.");
}

TEST_F(RelayControllerTest, AFatalCoordinatorAnswerDropsTheAccount) {
  settings->setEnabled(true);
  settings->setAccount("Family", "https://default.test");
  makeController();
  controller->setSigner(signer);
  controller->reconcile();
  controller->forgetAccount(CoordinatorError(CoordinatorError::Case::revoked));
  EXPECT_FALSE(settings->account());
  EXPECT_TRUE(settings->enabled());
  EXPECT_FALSE(controller->service());
  EXPECT_EQ(controller->statusLine(), "Remote access for this Mac was removed");
}

// Opened URLs: invite links offer to join (the code in the menu's field while the user is
// asked); every other URL is ignored; an enrolled host only says so.
class InviteLinkTest : public RelayControllerTest {
 protected:
  InviteLinkTest() {
    makeController();
    controller->setSigner(signer);
    AppModel::Services s;
    s.clock = loop.clock;
    s.relay = controller;
    s.confirmInvite = [this](std::string code) { return ask(code); };
    s.informAlreadyJoined = [this](std::string label) { alreadyJoined.push_back(label); };
    model = AppModel::make(loop.io.get_executor(), loop.strand(), nullptr, nullptr, std::move(s));
  }
  ~InviteLinkTest() override {
    model.reset();
    loop.settle();
  }

  asio::awaitable<bool> ask(std::string code) {
    asked.push_back(code);
    draftWhileAsked = controller->inviteDraft();
    co_return answer;
  }

  std::shared_ptr<AppModel> model;
  bool answer = true;
  std::vector<std::string> asked;
  std::string draftWhileAsked;
  std::vector<std::string> alreadyJoined;
};

TEST_F(InviteLinkTest, JoiningFromALinkEnrolsWithItsCode) {
  model->handleOpenURL("NOLU://INVITE?code=abcde-fghjk");
  loop.settle();
  EXPECT_EQ(asked, std::vector<std::string>{"ABCDEFGHJK"});
  EXPECT_EQ(draftWhileAsked, "ABCDE-FGHJK");
  ASSERT_EQ(enrolments.size(), 1u);
  EXPECT_EQ(enrolments[0].second, "ABCDEFGHJK");
  EXPECT_EQ(controller->accountLabel(), "Family");
  EXPECT_TRUE(alreadyJoined.empty());
}

TEST_F(InviteLinkTest, DecliningEmptiesTheFieldAndJoinsNothing) {
  answer = false;
  model->handleOpenURL("brindlet://invite?code=ABCDEFGHJK");
  loop.settle();
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(controller->inviteDraft(), "");
  EXPECT_TRUE(enrolments.empty());
}

TEST_F(InviteLinkTest, OtherURLsAreIgnored) {
  controller->setInviteDraft("typed");
  for (const char* url :
       {"nolu://pair?host=x&token=y", "https://invite?code=ABCDEFGHJK", "nolu://invite?Code=ABCDEFGHJK",
        "nolu://invite?code=&code=ABCDEFGHJK", "nolu://invite?code=ABCDEFGHJU", "not a url", ""}) {
    model->handleOpenURL(url);
    loop.settle();
    EXPECT_TRUE(asked.empty()) << url;
  }
  EXPECT_EQ(controller->inviteDraft(), "typed");
  EXPECT_TRUE(enrolments.empty());
}

TEST_F(InviteLinkTest, AnEnrolledHostOnlySaysSoAndKeepsTheField) {
  settings->setAccount("Family", "https://default.test");
  controller->reconcile();
  controller->setInviteDraft("typed");
  model->handleOpenURL("nolu://invite?code=ABCDEFGHJK");
  loop.settle();
  EXPECT_EQ(alreadyJoined, std::vector<std::string>{"Family"});
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(controller->inviteDraft(), "typed");
  EXPECT_TRUE(enrolments.empty());
}

TEST(RelayStatusTest, Texts) {
  using Status = RelayHostService::Status;
  EXPECT_EQ(Status::registered("").text(), "Ready");
  EXPECT_EQ(Status::registered("SIN").text(), "Ready \u00B7 Singapore");
  EXPECT_EQ(Status::registered("fra").text(), "Ready \u00B7 fra");
  EXPECT_EQ(Status::error("relay refused (error 10)").text(), "relay refused (error 10)");
  EXPECT_EQ(Status::stopped().text(), "Remote access off");
  EXPECT_EQ(Status::connecting().text(), "Connecting\u2026");
}

}  // namespace
}  // namespace brindlet::host

namespace brindlet::host {
namespace {

// The panel's remote-access section over the real controller: the switch, the invite row and
// its Join, the status line.
TEST_F(RelayControllerTest, ThePanelSectionDrivesTheController) {
  makeController();
  controller->setSigner(signer);
  RelayMenuSection section(controller);
  int changes = 0;
  controller->onChange = [&] { ++changes; };

  EXPECT_FALSE(RelaySection::render(section).switchOn);
  section.setSwitch(true);
  EXPECT_TRUE(settings->enabled());
  RelaySection::View view = RelaySection::render(section);
  EXPECT_TRUE(view.switchOn);
  EXPECT_TRUE(view.showsInviteRow);
  EXPECT_FALSE(view.joinEnabled);
  EXPECT_EQ(servicesMade, 0);  // not enrolled yet

  section.setInviteDraft("abcde fghjk\n");  // typed loosely: still a code
  EXPECT_TRUE(RelaySection::render(section).joinEnabled);
  section.setInviteDraft("abcde-fghju");  // no U in the alphabet
  EXPECT_FALSE(RelaySection::render(section).joinEnabled);
  section.join(section.inviteDraft());  // Return in the field: the controller says why
  view = RelaySection::render(section);
  EXPECT_EQ(view.statusLine, "That invite is not valid. It has 10 letters and digits.");
  EXPECT_TRUE(view.statusIsError);

  section.setInviteDraft("abcde-fghjk");
  section.join(section.inviteDraft());
  view = RelaySection::render(section);
  EXPECT_EQ(view.statusLine, "Joining\u2026");
  EXPECT_FALSE(view.joinEnabled);
  loop.settle();
  view = RelaySection::render(section);
  EXPECT_FALSE(view.showsInviteRow);
  EXPECT_EQ(view.statusLine, "Can't reach the relay");
  EXPECT_TRUE(view.statusIsError);
  EXPECT_EQ(servicesMade, 1);

  int configBefore = configChanges;
  section.setSwitch(false);
  view = RelaySection::render(section);
  EXPECT_FALSE(view.switchOn);
  EXPECT_FALSE(view.statusLine);
  EXPECT_FALSE(controller->service());
  EXPECT_GT(configChanges, configBefore);
  EXPECT_GT(changes, 0);
}

}  // namespace
}  // namespace brindlet::host
