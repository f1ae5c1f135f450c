#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/ui/OnboardingModel.h"
#include "platform/storage/UserDefaults.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;
using Kind = PermissionChecking::Kind;

class FakeChecker : public PermissionChecking {
 public:
  Grants read() override {
    ++reads;
    return grants;
  }
  void request(Kind kind) override { requests.push_back(kind); }
  bool openURL(const std::string& url) override {
    opened.push_back(url);
    return url.find('?') == std::string::npos || acceptsPanes;
  }

  Grants grants;
  int reads = 0;
  bool acceptsPanes = true;
  std::vector<Kind> requests;
  std::vector<std::string> opened;
};

class OnboardingModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() / ("onboarding-" + std::to_string(::getpid()) + "-" +
                                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    defaults = std::make_shared<platform::UserDefaults>(folder / "settings.json");
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::shared_ptr<OnboardingModel> make() {
    return OnboardingModel::make(loop.strand(), loop.clock, checker, defaults, std::chrono::seconds(1));
  }

  TestLoop loop;
  std::filesystem::path folder;
  std::shared_ptr<platform::UserDefaults> defaults;
  std::shared_ptr<FakeChecker> checker = std::make_shared<FakeChecker>();
};

TEST_F(OnboardingModelTest, StepsMoveOneAtATimeAndStopAtTheEnds) {
  auto model = make();
  model->back();
  EXPECT_EQ(model->step(), OnboardingStep::welcome);
  model->advance();
  EXPECT_FALSE(model->localNetworkAcknowledged());
  model->advance();  // past the Local Network page
  EXPECT_TRUE(model->localNetworkAcknowledged());
  model->back();
  model->back();
  model->advance();
  model->advance();
  EXPECT_TRUE(model->localNetworkAcknowledged());
  model->advance();
  model->advance();
  EXPECT_EQ(model->step(), OnboardingStep::done);
  model->advance();
  EXPECT_EQ(model->step(), OnboardingStep::done);
  model->back();
  EXPECT_EQ(model->step(), OnboardingStep::accessibility);
  EXPECT_EQ(onboardingStep(5), std::nullopt);
  EXPECT_EQ(onboardingStep(-1), std::nullopt);
  EXPECT_EQ(onboardingStep(4), OnboardingStep::done);
}

TEST_F(OnboardingModelTest, PollMovesOnlyTheAccessibilityPageToDone) {
  auto model = make();
  model->prepareForShowing();
  model->advance();
  model->advance();  // Screen Recording
  checker->grants = {true, true};
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(model->step(), OnboardingStep::screenRecording);
  EXPECT_TRUE(model->currentStepSatisfied());

  checker->grants = {true, false};
  loop.advance(std::chrono::seconds(1));
  model->advance();  // Accessibility, missing
  EXPECT_FALSE(model->currentStepSatisfied());
  checker->grants = {true, true};
  loop.advance(std::chrono::milliseconds(999));
  EXPECT_EQ(model->step(), OnboardingStep::accessibility);
  loop.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(model->step(), OnboardingStep::done);
}

TEST_F(OnboardingModelTest, RequestReadsAgainWithoutTheStepRule) {
  auto model = make();
  for (int i = 0; i < 3; ++i) model->advance();
  checker->grants = {true, true};
  model->request(Kind::accessibility);
  EXPECT_FALSE(model->screenRecordingRequested());
  EXPECT_TRUE(model->permissions().accessibility);
  EXPECT_EQ(model->step(), OnboardingStep::accessibility);
  model->request(Kind::screenRecording);  // already granted: still recorded
  EXPECT_TRUE(model->screenRecordingRequested());
  EXPECT_EQ(checker->requests, (std::vector<Kind>{Kind::accessibility, Kind::screenRecording}));
}

TEST_F(OnboardingModelTest, PollingStartsOnceAndRestartsAfterStopping) {
  auto model = make();
  int readsAtStart = checker->reads;
  model->startPolling();
  model->startPolling();
  EXPECT_EQ(checker->reads, readsAtStart + 1);
  loop.advance(std::chrono::seconds(3));
  EXPECT_EQ(checker->reads, readsAtStart + 4);  // one read a second, from one poll
  model->stopPolling();
  loop.settle();
  EXPECT_FALSE(model->isPolling());
  loop.advance(std::chrono::seconds(3));
  EXPECT_EQ(checker->reads, readsAtStart + 4);
  model->startPolling();
  EXPECT_EQ(checker->reads, readsAtStart + 5);  // at once
  EXPECT_TRUE(model->isPolling());
}

TEST_F(OnboardingModelTest, CompletedIsStoredAndDecidesTheStartUpShowing) {
  auto first = make();
  EXPECT_FALSE(first->completed());
  checker->grants = {true, true};
  EXPECT_TRUE(first->shouldShowAtStart());  // never finished
  first->finish();
  EXPECT_EQ(defaults->boolean("onboardingCompleted"), true);

  auto next = make();
  EXPECT_TRUE(next->completed());
  EXPECT_FALSE(next->shouldShowAtStart());
  checker->grants = {true, false};  // a grant revoked since
  EXPECT_TRUE(next->shouldShowAtStart());
}

TEST_F(OnboardingModelTest, ShowingAgainGoesBackToWelcome) {
  auto model = make();
  model->prepareForShowing();
  model->advance();
  model->advance();
  model->prepareForShowing();
  EXPECT_EQ(model->step(), OnboardingStep::welcome);
}

TEST_F(OnboardingModelTest, RefusedPaneLinkFallsBackToPrivacyAndSecurity) {
  auto model = make();
  checker->acceptsPanes = false;
  model->openSettings(PermissionPane::localNetwork);
  EXPECT_EQ(checker->opened,
            (std::vector<std::string>{"x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork",
                                      "x-apple.systempreferences:com.apple.preference.security"}));
}

TEST_F(OnboardingModelTest, PagesShowWhatTheStateAllows) {
  auto model = make();
  OnboardingPage page = OnboardingPage::render(*model);
  EXPECT_FALSE(page.showsBack);
  EXPECT_TRUE(page.showsContinue);
  EXPECT_TRUE(page.continueEnabled);

  model->advance();
  model->advance();  // Screen Recording, missing, not yet requested
  page = OnboardingPage::render(*model);
  EXPECT_EQ(page.mark, OnboardingPage::Mark::notGranted);
  EXPECT_TRUE(page.showsSkip);
  EXPECT_FALSE(page.continueEnabled);
  EXPECT_TRUE(page.showsGrant);
  EXPECT_FALSE(page.relaunchNote);
  model->request(Kind::screenRecording);
  page = OnboardingPage::render(*model);
  EXPECT_EQ(page.relaunchNote,
            "Screen Recording often needs a relaunch before it takes effect. After you enable it "
            "in System Settings, relaunch.");
  EXPECT_TRUE(page.showsRelaunch);
  checker->grants = {true, false};
  model->refreshPermissions();
  page = OnboardingPage::render(*model);
  EXPECT_EQ(page.mark, OnboardingPage::Mark::granted);
  EXPECT_FALSE(page.showsSkip);
  EXPECT_TRUE(page.continueEnabled);
  EXPECT_TRUE(page.showsGranted);
  EXPECT_EQ(page.relaunchNote, "If the stream shows a black screen, relaunch Nolu Host.");

  model->advance();
  model->advance();
  page = OnboardingPage::render(*model);
  EXPECT_TRUE(page.showsFinish);
  EXPECT_FALSE(page.showsContinue);
  EXPECT_EQ(page.missingLine, "Still missing: Accessibility. Nolu Host will keep asking from the menu bar.");
  checker->grants = {false, false};
  model->refreshPermissions();
  EXPECT_EQ(OnboardingPage::render(*model).missingLine,
            "Still missing: Screen Recording, Accessibility. Nolu Host will keep asking from the menu bar.");
  EXPECT_TRUE(model->missingPermissionNames().size() == 2);
  checker->grants = {true, true};
  model->refreshPermissions();
  EXPECT_EQ(OnboardingPage::render(*model).readyLine, "Ready — open Nolu on your iPhone or iPad.");
  EXPECT_TRUE(model->missingPermissionNames().empty());

  using Tone = OnboardingPage::MarkTone;
  std::vector<Tone> tones;
  for (OnboardingStep step : onboardingSteps)
    tones.push_back(OnboardingPage::tone(step, OnboardingStep::accessibility));
  EXPECT_EQ(tones, (std::vector<Tone>{Tone::before, Tone::before, Tone::before, Tone::current, Tone::after}));
}

}  // namespace
}  // namespace brindlet::host
