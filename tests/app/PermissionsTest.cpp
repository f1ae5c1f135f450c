#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/app/Permissions.h"

namespace brindlet::host {
namespace {

struct FakeSystem final : Permissions::System {
  bool screen = false;
  bool trusted = false;
  std::vector<std::string> calls;
  std::vector<std::string> opened;

  bool preflightScreenCapture() override { return screen; }
  bool requestScreenCapture() override {
    calls.push_back("requestScreenCapture");
    return screen;
  }
  bool isTrusted(bool prompt) override {
    calls.push_back(prompt ? "isTrusted(prompt)" : "isTrusted");
    return trusted;
  }
  void openURL(const std::string& url) override { opened.push_back(url); }
};

TEST(Permissions, ARequestOpensTheMatchingPaneOnlyWhenTheSystemRefuses) {
  struct Case {
    Permissions::Kind kind;
    bool granted;
    std::vector<std::string> calls;
    std::vector<std::string> opened;
  };
  const std::string screen = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
  const std::string access = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
  const std::vector<Case> cases{
      {Permissions::Kind::screenRecording, true, {"requestScreenCapture"}, {}},
      {Permissions::Kind::screenRecording, false, {"requestScreenCapture"}, {screen}},
      {Permissions::Kind::accessibility, true, {"isTrusted(prompt)"}, {}},
      {Permissions::Kind::accessibility, false, {"isTrusted(prompt)"}, {access}},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    system.screen = system.trusted = c.granted;
    Permissions::request(c.kind, system);
    EXPECT_EQ(system.calls, c.calls);
    EXPECT_EQ(system.opened, c.opened);
  }
}

TEST(Permissions, StatusesAreEqualOnlyWhenBothFlagsAre) {
  using S = Permissions::Status;
  EXPECT_EQ((S{true, false}), (S{true, false}));
  EXPECT_NE((S{true, false}), (S{true, true}));
  EXPECT_NE((S{false, false}), (S{true, false}));
  FakeSystem system;
  system.trusted = true;
  EXPECT_EQ(Permissions::current(system), (S{false, true}));
  EXPECT_EQ(system.calls, std::vector<std::string>{"isTrusted"});  // reading never prompts
}

}  // namespace
}  // namespace brindlet::host
