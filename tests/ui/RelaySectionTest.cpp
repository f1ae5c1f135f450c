#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ui/RelaySection.h"

namespace brindlet::host {
namespace {

// A relay controller as the section sees it.
class FakeRelay : public RelaySectionModel {
 public:
  bool enabled() const override { return enabled_; }
  std::optional<std::string> accountLabel() const override { return account; }
  bool joining() const override { return joiningNow; }
  const std::string& inviteDraft() const override { return draft; }
  void setInviteDraft(std::string text) override { draft = std::move(text); }
  std::optional<std::string> statusLine() const override {
    if (joiningNow) return "Joining…";
    return notice;
  }
  bool statusIsError() const override { return notice.has_value(); }
  bool isInviteCode(const std::string& text) const override { return text.size() == 11 && text[5] == '-'; }
  void join(const std::string&) override {}
  void setSwitch(bool on) override { enabled_ = on; }

  bool enabled_ = false;
  std::optional<std::string> account;
  bool joiningNow = false;
  std::string draft;
  std::optional<std::string> notice;
};

TEST(RelaySectionTest, OffShowsOnlyTheSwitch) {
  FakeRelay relay;
  RelaySection::View view = RelaySection::render(relay);
  EXPECT_FALSE(view.switchOn);
  EXPECT_FALSE(view.showsInviteRow);
  EXPECT_FALSE(view.statusLine);
}

TEST(RelaySectionTest, SwitchingOnWhileNotEnrolledShowsTheInviteRow) {
  FakeRelay relay;
  relay.enabled_ = true;
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
