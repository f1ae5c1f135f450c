#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ui/RelaySection.h"

namespace brindlet::host {
namespace {

// A relay controller as the section sees it, recording the operations it is asked for.
class FakeRelay : public RelaySectionModel {
 public:
  bool enabled() const override { return enabled_; }
  std::optional<std::string> accountLabel() const override { return account; }
  bool joining() const override { return joiningNow; }
  const std::string& inviteDraft() const override { return draft; }
  void setInviteDraft(std::string text) override {
    calls.push_back("draft:" + text);
    draft = std::move(text);
  }
  std::optional<std::string> statusLine() const override {
    if (joiningNow) return "Joining…";
    return notice;
  }
  bool statusIsError() const override { return notice.has_value(); }
  bool isInviteCode(const std::string& text) const override { return text.size() == 11 && text[5] == '-'; }
  void join(const std::string& text) override { calls.push_back("join:" + text); }
  void storeEnabled(bool value) override {
    calls.push_back(value ? "store:on" : "store:off");
    stored = value;
  }
  void clearNotice() override {
    calls.push_back("clearNotice");
    notice.reset();
  }
  void reconcile() override {
    calls.push_back("reconcile");
    enabled_ = stored;
  }
  void configChanged() override { calls.push_back("configChanged"); }

  bool enabled_ = false;
  bool stored = false;
  std::optional<std::string> account;
  bool joiningNow = false;
  std::string draft;
  std::optional<std::string> notice;
  std::vector<std::string> calls;
};

TEST(RelaySectionTest, OffShowsOnlyTheSwitch) {
  FakeRelay relay;
  RelaySection::View view = RelaySection::render(relay);
  EXPECT_FALSE(view.switchOn);
  EXPECT_FALSE(view.showsInviteRow);
  EXPECT_FALSE(view.statusLine);
}

TEST(RelaySectionTest, SwitchingOffClearsNoticeAndDraftThenReconciles) {
  FakeRelay relay;
  relay.enabled_ = relay.stored = true;
  relay.notice = "Invite code not recognised";
  relay.draft = "ABCDE-FGH";
  RelaySection::setEnabled(relay, false);
  EXPECT_EQ(relay.calls,
            (std::vector<std::string>{"store:off", "clearNotice", "draft:", "reconcile", "configChanged"}));
  RelaySection::View view = RelaySection::render(relay);
  EXPECT_FALSE(view.switchOn);
  EXPECT_FALSE(view.statusLine);
  EXPECT_EQ(view.inviteDraft, "");
}

TEST(RelaySectionTest, SwitchingOnWhileNotEnrolledShowsTheInviteRow) {
  FakeRelay relay;
  RelaySection::setEnabled(relay, true);
  EXPECT_EQ(relay.calls, (std::vector<std::string>{"store:on", "reconcile", "configChanged"}));
  RelaySection::View view = RelaySection::render(relay);
  EXPECT_TRUE(view.switchOn);
  EXPECT_TRUE(view.showsInviteRow);
  EXPECT_FALSE(view.joinEnabled);  // empty draft

  relay.draft = "ABCDE-FGHJK";
  EXPECT_TRUE(RelaySection::render(relay).joinEnabled);
  relay.joiningNow = true;
  view = RelaySection::render(relay);
  EXPECT_FALSE(view.joinEnabled);
  EXPECT_EQ(view.statusLine, "Joining…");
  EXPECT_FALSE(view.statusIsError);
}

TEST(RelaySectionTest, EnrolledHidesTheInviteRowAndShowsErrorsInRed) {
  FakeRelay relay;
  relay.enabled_ = true;
  relay.account = "Home";
  relay.notice = "Relay unreachable";
  RelaySection::View view = RelaySection::render(relay);
  EXPECT_FALSE(view.showsInviteRow);
  EXPECT_EQ(view.statusLine, "Relay unreachable");
  EXPECT_TRUE(view.statusIsError);
}

}  // namespace
}  // namespace brindlet::host
